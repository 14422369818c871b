#include "flashdll/contents/contents.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "contents_builder.h"
#include "flashdll/session.h"
#include "support/recording_host.h"
#include "support/temp_dir.h"

namespace {

using mkcontents::Bytes;
using mkcontents::BuildFaults;
using mkcontents::BuiltLayout;
using mkcontents::ContentsBuilder;
using testing_support::RecordingHost;
using testing_support::TempDir;

const char kCorrupted[] = "The contents file was corrupted.";

Bytes Data(size_t size, uint8_t seed) {
    Bytes data(size);
    for (size_t i = 0; i < size; ++i) data[i] = static_cast<uint8_t>(seed + i * 7);
    return data;
}

uint32_t TableWord(const uint8_t* slot, size_t offset) {
    return slot[offset] | slot[offset + 1] << 8 | slot[offset + 2] << 16 | static_cast<uint32_t>(slot[offset + 3]) << 24;
}

class ContentsTest : public ::testing::Test {
protected:
    void SetUp() override {
        host.InstallCallbacks();
        session = std::make_unique<Session>();
        session->host = &host.descriptor;
    }
    void TearDown() override { ReleaseContents(); }

    bool Read(const Bytes& file) {
        const std::string path = dir.WriteBytes("contents.bin", file);
        std::snprintf(session->options.contentsfile, sizeof session->options.contentsfile, "%s", path.c_str());
        host.Clear();
        return ReadContents(session.get());
    }
    bool RefusedAsCorrupted(const Bytes& file) {
        const bool read = Read(file);
        return !read && host.Messages(2) == std::vector<std::string>{kCorrupted} && ContentsBuffer(nullptr) == nullptr;
    }
    ContentsEntry Entry(uint32_t slot, uint32_t index) {
        ContentsEntry entry;
        EXPECT_TRUE(GetContentsEntry(session.get(), slot, index, &entry));
        return entry;
    }

    TempDir dir;
    RecordingHost host;
    std::unique_ptr<Session> session;
};

TEST_F(ContentsTest, FfsSectionIsEnteredWithPackedEntries) {
    ContentsBuilder builder;
    builder.AddFfs(0x11223344, 0x55667788);
    builder.AddFfsFile(7, 0x1234, Data(5, 1), "first");
    builder.AddFfsFile(255, 0xFFFF, Data(300, 2), "second");
    BuiltLayout layout;
    const Bytes file = builder.Build({}, &layout);
    ASSERT_TRUE(Read(file)) << host.Transcript();
    EXPECT_TRUE(host.Messages().empty());
    EXPECT_EQ(ContentsSectionCount(), 1u);

    ContentsSlotView view;
    ASSERT_TRUE(GetContentsSlot(session.get(), 0, &view));
    EXPECT_EQ(view.type, kFsTypeFfs);
    EXPECT_EQ(view.fileCount, 2u);
    EXPECT_EQ(view.extra[0], 0x11223344u);
    EXPECT_EQ(view.extra[1], 0x55667788u);
    const ContentsEntry second = Entry(0, 1);
    EXPECT_EQ(second.size, 300u);
    EXPECT_EQ(second.dataOffset, layout.recordOffsets[0][1] + 268);
    EXPECT_EQ(second.ownerId, 255);
    EXPECT_EQ(second.fileId, 0xFFFF);
    EXPECT_STREQ(second.name, "second");
    uint32_t size = 0;
    const uint8_t* buffer = ContentsBuffer(&size);
    ASSERT_EQ(size, file.size());
    EXPECT_EQ(Bytes(buffer + second.dataOffset, buffer + second.dataOffset + 300), Data(300, 2));

    // The table itself: type, count, volume words, then 267-byte entries.
    const uint8_t* slot = session->options.contents[0];
    EXPECT_EQ(TableWord(slot, 0), 1u);
    EXPECT_EQ(TableWord(slot, 4), 2u);
    EXPECT_EQ(TableWord(slot, 12), 0x55667788u);
    EXPECT_EQ(TableWord(slot, 16), 5u);
    EXPECT_EQ(TableWord(slot, 20), layout.recordOffsets[0][0] + 268);
    EXPECT_EQ(slot[24], 7);
    EXPECT_EQ(slot[25] | slot[26] << 8, 0x1234);
    EXPECT_STREQ(reinterpret_cast<const char*>(slot + 27), "first");
    EXPECT_EQ(TableWord(slot, 16 + 267), 300u);
    EXPECT_EQ(slot[16 + 267 + 8], 255);
}

TEST_F(ContentsTest, CfsAndFdiSectionsFillTheFollowingSlots) {
    std::memset(session->options.contents, 0xAB, sizeof session->options.contents);  // a host's leftovers
    ContentsBuilder builder;
    builder.AddCfs();
    builder.AddNamedFile("logo.bmp", Data(10, 3));
    builder.AddNamedFile(std::string(255, 'n'), Data(0, 0));
    builder.AddFdi(0x20000000, 0x2000FFFF);
    builder.AddNamedFile("tone", Data(4, 4));
    BuiltLayout layout;
    ASSERT_TRUE(Read(builder.Build({}, &layout))) << host.Transcript();
    EXPECT_EQ(ContentsSectionCount(), 2u);

    ContentsSlotView view;
    ASSERT_TRUE(GetContentsSlot(session.get(), 0, &view));
    EXPECT_EQ(view.type, kFsTypeCfs);
    EXPECT_EQ(view.fileCount, 2u);
    const uint8_t* cfs = session->options.contents[0];
    EXPECT_EQ(TableWord(cfs, 8), 10u);  // entries follow the count directly
    EXPECT_STREQ(reinterpret_cast<const char*>(cfs + 16), "logo.bmp");
    EXPECT_EQ(TableWord(cfs, 8 + 264), 0u);
    EXPECT_EQ(std::string(Entry(0, 1).name), std::string(255, 'n'));

    ASSERT_TRUE(GetContentsSlot(session.get(), 1, &view));
    EXPECT_EQ(view.type, kFsTypeFdi);
    EXPECT_EQ(view.extra[0], 0x20000000u);
    EXPECT_EQ(view.extra[1], 0x2000FFFFu);
    EXPECT_EQ(Entry(1, 0).dataOffset, layout.recordOffsets[1][0] + 268);
    EXPECT_STREQ(Entry(1, 0).name, "tone");

    // Slots the file does not use are emptied, not left to the host's bytes.
    ASSERT_TRUE(GetContentsSlot(session.get(), 2, &view));
    EXPECT_EQ(view.type, 0u);
    EXPECT_EQ(view.fileCount, 0u);
    ContentsEntry entry;
    EXPECT_FALSE(GetContentsEntry(session.get(), 2, 0, &entry));
    EXPECT_FALSE(GetContentsEntry(session.get(), 1, 1, &entry));
    EXPECT_FALSE(GetContentsSlot(session.get(), 4, &view));
}

TEST_F(ContentsTest, MissingOrUnselectedFile) {
    EXPECT_FALSE(ReadContents(session.get()));
    EXPECT_EQ(host.Messages(2), std::vector<std::string>{"The contents file was not selected."});
    host.Clear();
    const std::string path = dir.File("absent.bin");
    std::snprintf(session->options.contentsfile, sizeof session->options.contentsfile, "%s", path.c_str());
    EXPECT_FALSE(ReadContents(session.get()));
    EXPECT_EQ(host.Messages(2), std::vector<std::string>{"Not found contents file \"" + path + "\"."});
    EXPECT_EQ(ContentsBuffer(nullptr), nullptr);
}

TEST_F(ContentsTest, SizeAndChecksumFaultsAreCorruption) {
    ContentsBuilder builder;
    builder.AddCfs();
    builder.AddNamedFile("a", Data(40, 5));
    const Bytes good = builder.Build();
    ASSERT_TRUE(Read(good));

    Bytes shortFile(good.begin(), good.begin() + 31);
    mkcontents::Seal(shortFile);
    EXPECT_TRUE(RefusedAsCorrupted(shortFile));
    EXPECT_TRUE(RefusedAsCorrupted(builder.Build(BuildFaults{false, 1, -1})));
    EXPECT_TRUE(RefusedAsCorrupted(builder.Build(BuildFaults{false, -1, -1})));
    EXPECT_TRUE(RefusedAsCorrupted(builder.Build(BuildFaults{true, 0, -1})));
    for (size_t offset : {size_t{4}, size_t{8}, size_t{100}, good.size() - 1}) {
        Bytes changed = good;
        changed[offset] ^= 0x01;
        EXPECT_TRUE(RefusedAsCorrupted(changed)) << offset;
    }
    Bytes longer = good;
    longer.push_back(0);  // one byte more than the size word says
    EXPECT_TRUE(RefusedAsCorrupted(longer));
}

TEST_F(ContentsTest, BadTagOrMagicFailsTheReadWithoutAMessage) {
    ContentsBuilder builder;
    builder.AddFfs(1, 2);
    builder.AddFfsFile(1, 1, Data(3, 0));
    builder.AddCfs().tag = 0x40585858;
    builder.AddNamedFile("x", Data(3, 0));
    EXPECT_FALSE(Read(builder.Build()));
    EXPECT_TRUE(host.Messages().empty());
    EXPECT_NE(ContentsBuffer(nullptr), nullptr);  // held until released
    EXPECT_EQ(Entry(0, 0).size, 3u);                // the good section was entered

    builder.Sections()[1].tag = mkcontents::kTagCfs;
    builder.Sections()[1].files[0].magic = 0x454C4946;
    EXPECT_FALSE(Read(builder.Build()));
    EXPECT_TRUE(host.Messages().empty());
    ReleaseContents();
    EXPECT_EQ(ContentsBuffer(nullptr), nullptr);
    EXPECT_EQ(ContentsSectionCount(), 0u);
}

TEST_F(ContentsTest, MoreThanTheTableHoldsIsCorruption) {
    ContentsBuilder five;
    for (int i = 0; i < 5; ++i) five.AddCfs().files.push_back({0, 0, "f", Data(1, 0)});
    EXPECT_TRUE(RefusedAsCorrupted(five.Build()));

    ContentsBuilder many;
    many.AddFfs(0, 0);
    for (int i = 0; i < 64; ++i) many.AddFfsFile(1, static_cast<uint16_t>(i), Data(1, 0));
    ASSERT_TRUE(Read(many.Build()));
    EXPECT_EQ(Entry(0, 63).fileId, 63);
    many.AddFfsFile(1, 64, Data(1, 0));
    EXPECT_TRUE(RefusedAsCorrupted(many.Build()));

    ContentsBuilder none;
    EXPECT_TRUE(RefusedAsCorrupted(none.Build()));
}

TEST_F(ContentsTest, NamesMustEndInsideTheirField) {
    ContentsBuilder ffs;
    ffs.AddFfs(0, 0);
    ffs.AddFfsFile(1, 1, Data(2, 0), std::string(256, 'f'));
    EXPECT_TRUE(RefusedAsCorrupted(ffs.Build()));
    ContentsBuilder cfs;
    cfs.AddCfs();
    cfs.AddNamedFile(std::string(256, 'c'), Data(2, 0));  // NUL on disk, but past the table's 256 bytes
    EXPECT_TRUE(RefusedAsCorrupted(cfs.Build()));
}

TEST_F(ContentsTest, LengthsRunningPastTheirBoundsAreCorruption) {
    ContentsBuilder builder;
    builder.AddFdi(0, 0xFFFF);
    builder.AddNamedFile("a", Data(20, 0));
    builder.Sections()[0].lengthDelta = 1;  // section past the end of the file
    EXPECT_TRUE(RefusedAsCorrupted(builder.Build()));
    builder.Sections()[0].lengthDelta = -1;  // record data past the end of its section
    EXPECT_TRUE(RefusedAsCorrupted(builder.Build()));
    builder.Sections()[0].lengthDelta = -(20 + 268 + 20 - 12);  // shorter than its own head
    EXPECT_TRUE(RefusedAsCorrupted(builder.Build()));
    builder.Sections()[0].lengthDelta = 0;
    builder.Sections()[0].declaredFileCount = 2;  // a record that is not there
    EXPECT_TRUE(RefusedAsCorrupted(builder.Build()));
    builder.Sections()[0].declaredFileCount = -1;
    EXPECT_TRUE(RefusedAsCorrupted(builder.Build(BuildFaults{false, 0, 2})));  // a section that is not there

    Bytes huge = builder.Build();
    huge[12 + 20] = 0xFF;  // data size of the record near 4 GiB: must not wrap the bounds check
    huge[12 + 20 + 3] = 0xFF;
    huge[12 + 20 + 2] = 0xFF;
    mkcontents::Seal(huge);
    EXPECT_TRUE(RefusedAsCorrupted(huge));
}

}  // namespace
