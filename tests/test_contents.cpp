#include "flashdll/contents/contents.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "contents_builder.h"
#include "flashdll/session.h"
#include "support/recording_host.h"
#include "support/temp_dir.h"

namespace {

using mkcontents::Bytes;
using mkcontents::BuildFaults;
using mkcontents::ContentsBuilder;

Bytes Data(size_t size, uint8_t seed) {
    Bytes data(size);
    for (size_t i = 0; i < size; ++i) data[i] = static_cast<uint8_t>(seed + i * 7);
    return data;
}

uint32_t Word(const uint8_t* bytes, size_t at) {
    return bytes[at] | bytes[at + 1] << 8 | bytes[at + 2] << 16 | static_cast<uint32_t>(bytes[at + 3]) << 24;
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

TEST_F(ContentsTest, FfsSectionIsEnteredWithPackedEntries) {
    ContentsBuilder builder;
    builder.AddFfs(0x11223344, 0x55667788);
    builder.AddFfsFile(7, 0x1234, Data(5, 1), "first");
    builder.AddFfsFile(255, 0xFFFF, Data(300, 2), "second");
    mkcontents::BuiltLayout layout;
    const Bytes file = builder.Build({}, &layout);
    ASSERT_TRUE(Read(file)) << host.Transcript();
    EXPECT_TRUE(host.Messages().empty());
    EXPECT_EQ(ContentsSectionCount(), 1u);
    // The table: type, count, volume words, then 267-byte entries (size, data offset, owner, file id, name).
    const std::vector<uint32_t> words = {1, 2, 0x11223344, 0x55667788, 5, layout.recordOffsets[0][0] + 268};
    for (size_t i = 0; i < words.size(); ++i) EXPECT_EQ(Word(Slot(0), 4 * i), words[i]) << i;
    EXPECT_EQ(Slot(0)[24], 7);
    EXPECT_EQ(Slot(0)[25] | Slot(0)[26] << 8, 0x1234);
    EXPECT_STREQ(reinterpret_cast<const char*>(Slot(0) + 27), "first");
    EXPECT_EQ(Word(Slot(0), 16 + 267), 300u);
    EXPECT_EQ(Slot(0)[16 + 267 + 8], 255);
    const ContentsEntry second = Entry(0, 1);
    EXPECT_EQ(second.dataOffset, layout.recordOffsets[0][1] + 268);
    EXPECT_EQ(second.fileId, 0xFFFF);
    EXPECT_STREQ(second.name, "second");
    uint32_t size = 0;
    const uint8_t* buffer = ContentsBuffer(&size);
    ASSERT_EQ(size, file.size());
    EXPECT_EQ(Bytes(buffer + second.dataOffset, buffer + second.dataOffset + 300), Data(300, 2));
}

TEST_F(ContentsTest, CfsAndFdiSectionsFillTheFollowingSlots) {
    std::memset(session->options.contents, 0xAB, sizeof session->options.contents);  // a host's leftovers
    ContentsBuilder builder;
    builder.AddCfs();
    builder.AddNamedFile("logo.bmp", Data(10, 3));
    builder.AddNamedFile(std::string(255, 'n'), Data(0, 0));
    builder.AddFdi(0x20000000, 0x2000FFFF);
    builder.AddNamedFile("tone", Data(4, 4));
    mkcontents::BuiltLayout layout;
    ASSERT_TRUE(Read(builder.Build({}, &layout))) << host.Transcript();
    EXPECT_EQ(ContentsSectionCount(), 2u);
    // CFS: entries of 264 bytes directly after the count.
    const std::vector<uint32_t> cfs = {2, 2, 10, layout.recordOffsets[0][0] + 268};
    for (size_t i = 0; i < cfs.size(); ++i) EXPECT_EQ(Word(Slot(0), 4 * i), cfs[i]) << i;
    EXPECT_STREQ(reinterpret_cast<const char*>(Slot(0) + 16), "logo.bmp");
    EXPECT_EQ(Word(Slot(0), 8 + 264), 0u);
    EXPECT_EQ(std::string(Entry(0, 1).name), std::string(255, 'n'));
    // FDI: area start and end, then 264-byte entries.
    const std::vector<uint32_t> fdi = {3, 1, 0x20000000, 0x2000FFFF, 4, layout.recordOffsets[1][0] + 268};
    for (size_t i = 0; i < fdi.size(); ++i) EXPECT_EQ(Word(Slot(1), 4 * i), fdi[i]) << i;
    EXPECT_STREQ(reinterpret_cast<const char*>(Slot(1) + 24), "tone");
    // Slots the file does not use are emptied, not left to the host's bytes.
    EXPECT_EQ(Bytes(Slot(2), Slot(2) + FLASH_CONTENTS_SLOT_SIZE), Bytes(FLASH_CONTENTS_SLOT_SIZE, 0));
    ContentsEntry entry;
    EXPECT_FALSE(GetContentsEntry(session.get(), 1, 1, &entry));
    ContentsSlotView view;
    EXPECT_FALSE(GetContentsSlot(session.get(), 4, &view));
}

TEST_F(ContentsTest, MissingUnselectedAndCorruptedFilesAreRefusedWithTheirMessage) {
    EXPECT_FALSE(ReadContents(session.get()));
    EXPECT_EQ(host.Messages(2), std::vector<std::string>{"The contents file was not selected."});
    host.Clear();
    const std::string path = dir.File("absent.bin");
    std::snprintf(session->options.contentsfile, sizeof session->options.contentsfile, "%s", path.c_str());
    EXPECT_FALSE(ReadContents(session.get()));
    EXPECT_EQ(host.Messages(2), std::vector<std::string>{"Not found contents file \"" + path + "\"."});

    ContentsBuilder cfs;
    cfs.AddCfs();
    cfs.AddNamedFile("a", Data(40, 5));
    const Bytes good = cfs.Build();
    ASSERT_TRUE(Read(good));
    std::vector<Bytes> bad = {cfs.Build(BuildFaults{false, 1, -1}), cfs.Build(BuildFaults{false, -1, -1}),
                              cfs.Build(BuildFaults{true, 0, -1}), cfs.Build(BuildFaults{false, 0, 2}),
                              Bytes(good.begin(), good.begin() + 31), good};
    mkcontents::Seal(bad[4]);  // 31 bytes: too short even with the right words
    bad[5].push_back(0);       // one byte more than the size word says
    for (size_t offset : {size_t{4}, size_t{8}, size_t{100}, good.size() - 1}) {
        bad.push_back(good);
        bad.back()[offset] ^= 0x01;
    }
    const std::pair<int64_t, int64_t> lengthFaults[] = {
        {1, -1},                      // section past the end of the file
        {-1, -1},                     // record data past the end of its section
        {-(40 + 268 + 12 - 8), -1},   // section shorter than its own head
        {0, 2}};                      // a record that is not there
    for (const auto& fault : lengthFaults) {
        cfs.Sections()[0].lengthDelta = fault.first;
        cfs.Sections()[0].declaredFileCount = fault.second;
        bad.push_back(cfs.Build());
    }
    cfs.Sections()[0].declaredFileCount = -1;
    bad.push_back(cfs.Build());
    bad.back()[12 + 12] = bad.back()[12 + 12 + 2] = bad.back()[12 + 12 + 3] = 0xFF;  // data size near 4 GiB
    mkcontents::Seal(bad.back());
    ContentsBuilder five, many, none, ffsName, cfsName;
    for (int i = 0; i < 5; ++i) five.AddCfs().files.push_back({0, 0, "f", Data(1, 0)});
    many.AddFfs(0, 0);
    for (int i = 0; i < 64; ++i) many.AddFfsFile(1, static_cast<uint16_t>(i), Data(1, 0));
    ASSERT_TRUE(Read(many.Build()));
    EXPECT_EQ(Entry(0, 63).fileId, 63);
    many.AddFfsFile(1, 64, Data(1, 0));
    ffsName.AddFfs(0, 0);
    ffsName.AddFfsFile(1, 1, Data(2, 0), std::string(256, 'f'));
    cfsName.AddCfs();
    cfsName.AddNamedFile(std::string(256, 'c'), Data(2, 0));  // NUL on disk, but past the table's 256 bytes
    for (const ContentsBuilder* b : {&five, &many, &none, &ffsName, &cfsName}) bad.push_back(b->Build());

    for (size_t i = 0; i < bad.size(); ++i) {
        EXPECT_FALSE(Read(bad[i])) << i;
        EXPECT_EQ(host.Messages(2), std::vector<std::string>{"The contents file was corrupted."}) << i;
        EXPECT_EQ(ContentsBuffer(nullptr), nullptr) << i;
    }
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

}  // namespace
