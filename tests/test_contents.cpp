#include "flashdll/contents/contents.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>

#include "contents_builder.h"
#include "flashdll/session.h"
#include "support/recording_host.h"
#include "support/temp_dir.h"

namespace {

using mkcontents::Bytes;
using mkcontents::BuildFaults;
using mkcontents::ContentsBuilder;
using Values = std::vector<uint32_t>;

Bytes Data(size_t size, uint8_t seed) {
    Bytes data(size);
    for (size_t i = 0; i < size; ++i) data[i] = static_cast<uint8_t>(seed + i * 7);
    return data;
}

Values Words(const uint8_t* b, size_t count) {
    Values words(count);
    for (size_t i = 0; i < count; ++i, b += 4) words[i] = b[0] | b[1] << 8 | b[2] << 16 | static_cast<uint32_t>(b[3]) << 24;
    return words;
}

class ContentsTest : public ::testing::Test {
protected:
    void SetUp() override {
        host.InstallCallbacks();
        session->host = &host.descriptor;
    }
    void TearDown() override { ReleaseContents(); }

    bool Read(const Bytes& file) {
        const std::string path = dir.WriteBytes("contents.bin", file);
        std::snprintf(session->options.contentsfile, sizeof session->options.contentsfile, "%s", path.c_str());
        host.Clear();
        return ReadContents(session.get());
    }
    ContentsEntry Entry(uint32_t slot, uint32_t index) {
        ContentsEntry entry;
        EXPECT_TRUE(GetContentsEntry(session.get(), slot, index, &entry));
        return entry;
    }
    const uint8_t* Slot(uint32_t i) const { return session->options.contents[i]; }

    testing_support::TempDir dir;
    testing_support::RecordingHost host;
    std::unique_ptr<Session> session = std::make_unique<Session>();
};

TEST_F(ContentsTest, FfsCfsAndFdiSectionsFillTheTableSlots) {
    std::memset(session->options.contents, 0xAB, sizeof session->options.contents);  // a host's leftovers
    ContentsBuilder builder;
    builder.AddFfs(0x11223344, 0x55667788);
    builder.AddFfsFile(7, 0x1234, Data(5, 1), "first");
    builder.AddFfsFile(255, 0xFFFF, Data(300, 2), "second");
    builder.AddCfs();
    builder.AddNamedFile("logo.bmp", Data(10, 3));
    builder.AddNamedFile(std::string(255, 'n'), Data(0, 0));
    builder.AddFdi(0x20000000, 0x2000FFFF);
    builder.AddNamedFile("tone", Data(4, 4));
    mkcontents::BuiltLayout layout;
    const Bytes file = builder.Build({}, &layout);
    ASSERT_TRUE(Read(file)) << host.Transcript();
    EXPECT_TRUE(host.Messages().empty());
    EXPECT_EQ(ContentsSectionCount(), 3u);
    const auto& records = layout.recordOffsets;
    // FFS: type, count, volume words, then 267-byte entries: size, data offset, owner, file id, name.
    EXPECT_EQ(Words(Slot(0), 6), (Values{1, 2, 0x11223344, 0x55667788, 5, records[0][0] + 268}));
    EXPECT_EQ(Values({Slot(0)[24], Slot(0)[25] | Slot(0)[26] * 256u}), Values({7, 0x1234}));
    EXPECT_STREQ(reinterpret_cast<const char*>(Slot(0) + 27), "first");
    EXPECT_EQ(Words(Slot(0) + 16 + 267, 2), (Values{300, records[0][1] + 268}));
    const ContentsEntry second = Entry(0, 1);
    EXPECT_EQ(Values({second.ownerId, second.fileId}), Values({255, 0xFFFF}));
    EXPECT_STREQ(second.name, "second");
    uint32_t size = 0;
    const uint8_t* buffer = ContentsBuffer(&size);
    ASSERT_EQ(size, file.size());
    EXPECT_EQ(Bytes(buffer + second.dataOffset, buffer + second.dataOffset + 300), Data(300, 2));
    // CFS: 264-byte entries directly after the count.
    EXPECT_EQ(Words(Slot(1), 4), (Values{2, 2, 10, records[1][0] + 268}));
    EXPECT_STREQ(reinterpret_cast<const char*>(Slot(1) + 16), "logo.bmp");
    EXPECT_EQ(Words(Slot(1) + 8 + 264, 1), Values{0});
    EXPECT_EQ(std::string(Entry(1, 1).name), std::string(255, 'n'));
    // FDI: area start and end, then 264-byte entries.
    EXPECT_EQ(Words(Slot(2), 6), (Values{3, 1, 0x20000000, 0x2000FFFF, 4, records[2][0] + 268}));
    EXPECT_STREQ(reinterpret_cast<const char*>(Slot(2) + 24), "tone");
    // A slot the file does not use is emptied, not left to the host's bytes.
    EXPECT_EQ(Bytes(Slot(3), Slot(3) + FLASH_CONTENTS_SLOT_SIZE), Bytes(FLASH_CONTENTS_SLOT_SIZE, 0));
    ContentsEntry entry;
    ContentsSlotView view;
    EXPECT_FALSE(GetContentsEntry(session.get(), 2, 1, &entry));
    EXPECT_FALSE(GetContentsSlot(session.get(), 4, &view));
}

TEST_F(ContentsTest, MissingUnselectedAndCorruptedFilesAreRefusedWithTheirMessage) {
    EXPECT_FALSE(ReadContents(session.get()));
    EXPECT_EQ(host.Messages(2), std::vector<std::string>{"The contents file was not selected."});
    const std::string path = dir.File("absent.bin");
    std::snprintf(session->options.contentsfile, sizeof session->options.contentsfile, "%s", path.c_str());
    EXPECT_FALSE(ReadContents(session.get()));
    EXPECT_EQ(host.Messages(2).back(), "Not found contents file \"" + path + "\".");

    ContentsBuilder cfs, five, many, none, ffsName, cfsName;
    cfs.AddCfs().files.push_back({0, 0, "a", Data(40, 5)});
    const Bytes good = cfs.Build();
    ASSERT_TRUE(Read(good));
    std::vector<Bytes> bad = {cfs.Build(BuildFaults{false, 1, -1}), cfs.Build(BuildFaults{false, -1, -1}),
                              cfs.Build(BuildFaults{true, 0, -1}), cfs.Build(BuildFaults{false, 0, 2}),
                              Bytes(good.begin(), good.begin() + 31), good, good, good};
    mkcontents::Seal(bad[4]);  // 31 bytes: too short even with the right words
    bad[5].push_back(0);       // one byte more than the size word says
    bad[6][8] ^= 1;            // any byte changed after the checksum word
    bad.back().back() ^= 1;
    // Section past the end of the file, record data past the end of its section, section shorter than its own
    // head, a record that is not there, a data size near 4 GiB that must not wrap the bounds check.
    for (const auto& fault : {std::make_pair(1, -1), {-1, -1}, {8 - (12 + 268 + 40), -1}, {0, 2}, {0, -1}}) {
        cfs.Sections()[0].lengthDelta = fault.first;
        cfs.Sections()[0].declaredFileCount = fault.second;
        bad.push_back(cfs.Build());
    }
    bad.back()[12 + 12] = bad.back()[12 + 12 + 2] = bad.back()[12 + 12 + 3] = 0xFF;
    mkcontents::Seal(bad.back());
    for (int i = 0; i < 5; ++i) five.AddCfs().files.push_back({0, 0, "f", Data(1, 0)});
    many.AddFfs(0, 0);
    for (int i = 0; i < 64; ++i) many.AddFfsFile(1, static_cast<uint16_t>(i), Data(1, 0));
    ASSERT_TRUE(Read(many.Build()));
    EXPECT_EQ(Entry(0, 63).fileId, 63);
    many.AddFfsFile(1, 64, Data(1, 0));
    ffsName.AddFfs(0, 0).files.push_back({1, 1, std::string(256, 'f'), Data(2, 0)});
    cfsName.AddCfs().files.push_back({0, 0, std::string(256, 'c'), Data(2, 0)});  // NUL past the table's 256 bytes
    for (const ContentsBuilder* b : {&five, &many, &none, &ffsName, &cfsName}) bad.push_back(b->Build());
    for (size_t i = 0; i < bad.size(); ++i) {
        EXPECT_FALSE(Read(bad[i])) << i;
        EXPECT_EQ(host.Messages(2), std::vector<std::string>{"The contents file was corrupted."}) << i;
        EXPECT_EQ(ContentsBuffer(nullptr), nullptr) << i;
    }
}

// A bad section tag or record magic fails the read without a message; the
// sections before it are entered and the file is held until released.
TEST_F(ContentsTest, BadTagOrMagicFailsTheReadWithoutAMessage) {
    ContentsBuilder builder;
    builder.AddFfs(1, 2).files.push_back({1, 1, "", Data(3, 0)});
    builder.AddCfs().files.push_back({0, 0, "x", Data(3, 0)});
    for (int bad = 0; bad < 2; ++bad) {
        builder.Sections()[1].tag = bad == 0 ? 0x40585858 : mkcontents::kTagCfs;
        builder.Sections()[1].files[0].magic = bad == 0 ? mkcontents::kRecordMagic : 0x454C4946;
        EXPECT_FALSE(Read(builder.Build()));
        EXPECT_TRUE(host.Messages().empty());
        EXPECT_NE(ContentsBuffer(nullptr), nullptr);
        EXPECT_EQ(Entry(0, 0).size, 3u);
    }
    ReleaseContents();
    EXPECT_EQ(ContentsBuffer(nullptr), nullptr);
    EXPECT_EQ(ContentsSectionCount(), 0u);
}

}  // namespace
