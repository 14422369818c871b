#include "flashdll/contents/contents.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>

#include "contents_builder.h"
#include "flashdll/session/session.h"
#include "support/recording_host.h"
#include "support/temp_dir.h"

namespace {

using mkcontents::Bytes;
using Values = std::vector<uint32_t>;

Values Words(const uint8_t* b, size_t count) {
    Values words;
    for (; count > 0; --count, b += 4) words.push_back(b[0] | b[1] << 8 | b[2] << 16 | uint32_t{b[3]} << 24);
    return words;
}

class ContentsTest : public ::testing::Test {
protected:
    void SetUp() override {
        host.InstallCallbacks();
        session->host = &host.descriptor;
    }
    void TearDown() override { ReleaseContents(session.get()); }

    bool Read(const Bytes& file) {
        const std::string path = dir.WriteBytes("contents.bin", file);
        std::snprintf(session->options.contentsfile, sizeof session->options.contentsfile, "%s", path.c_str());
        host.Clear();
        return ReadContents(session.get());
    }
    ContentsEntry Entry(uint32_t slot, uint32_t index) {
        ContentsEntry entry = {};
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
    mkcontents::ContentsBuilder builder;
    builder.AddFfs(0x11223344, 0x55667788).files = {{7, 0x1234, "first", Bytes(5, 1)},
                                                    {255, 0xFFFF, "second", Bytes(300, 2)}};
    builder.AddCfs().files = {{0, 0, "logo.bmp", Bytes(10, 3)}, {0, 0, std::string(255, 'n'), {}}};
    builder.AddFdi(0x20000000, 0x2000FFFF).files = {{0, 0, "tone", Bytes(4, 4)}};
    mkcontents::BuiltLayout layout;
    ASSERT_TRUE(Read(builder.Build({}, &layout))) << host.Transcript();
    EXPECT_TRUE(host.Messages().empty());
    EXPECT_EQ(ContentsSectionCount(session.get()), 3u);
    // FFS: type, count, volume words, then 267-byte entries: size, data offset, owner, file id, name.
    EXPECT_EQ(Words(Slot(0), 6), (Values{1, 2, 0x11223344, 0x55667788, 5, layout.recordOffsets[0][0] + 268}));
    EXPECT_EQ(Values({Slot(0)[24], Slot(0)[25] | Slot(0)[26] * 256u}), Values({7, 0x1234}));
    EXPECT_STREQ(reinterpret_cast<const char*>(Slot(0) + 27), "first");
    EXPECT_EQ(Words(Slot(0) + 16 + 267, 2), (Values{300, layout.recordOffsets[0][1] + 268}));
    const ContentsEntry second = Entry(0, 1);
    EXPECT_EQ(Values({second.ownerId, second.fileId}), Values({255, 0xFFFF}));
    EXPECT_STREQ(second.name, "second");
    const uint8_t* held = ContentsBuffer(session.get(), nullptr);
    EXPECT_EQ(Bytes(held + second.dataOffset, held + second.dataOffset + 300), Bytes(300, 2));
    // CFS: 264-byte entries directly after the count.
    EXPECT_EQ(Words(Slot(1), 4), (Values{2, 2, 10, layout.recordOffsets[1][0] + 268}));
    EXPECT_STREQ(reinterpret_cast<const char*>(Slot(1) + 16), "logo.bmp");
    EXPECT_EQ(Words(Slot(1) + 8 + 264, 1), Values{0});
    EXPECT_EQ(std::string(Entry(1, 1).name), std::string(255, 'n'));
    // FDI: area start and end, then 264-byte entries.
    EXPECT_EQ(Words(Slot(2), 6), (Values{3, 1, 0x20000000, 0x2000FFFF, 4, layout.recordOffsets[2][0] + 268}));
    EXPECT_STREQ(reinterpret_cast<const char*>(Slot(2) + 24), "tone");
    // A slot the file does not use is emptied, not left to the host's bytes; entries past the table are refused.
    EXPECT_EQ(Bytes(Slot(3), Slot(3) + FLASH_CONTENTS_SLOT_SIZE), Bytes(FLASH_CONTENTS_SLOT_SIZE, 0));
    ContentsEntry entry;
    ContentsSlotView view;
    EXPECT_FALSE(GetContentsEntry(session.get(), 2, 1, &entry) || GetContentsSlot(session.get(), 4, &view));
}

TEST_F(ContentsTest, MissingCorruptedAndBadFilesAreRefused) {
    EXPECT_FALSE(ReadContents(session.get()));
    EXPECT_EQ(host.Messages(2), std::vector<std::string>{"The contents file was not selected."});
    const std::string path = dir.File("absent.bin");
    std::snprintf(session->options.contentsfile, sizeof session->options.contentsfile, "%s", path.c_str());
    EXPECT_FALSE(ReadContents(session.get()));
    EXPECT_EQ(host.Messages(2).back(), "Not found contents file \"" + path + "\".");

    mkcontents::ContentsBuilder cfs, five, many, none, ffsName, cfsName;
    cfs.AddCfs().files = {{0, 0, "a", Bytes(40, 5)}};
    const Bytes good = cfs.Build();
    ASSERT_TRUE(Read(good));
    std::vector<Bytes> bad = {cfs.Build({false, 1, -1}), cfs.Build({false, -1, -1}),
                              cfs.Build({true, 0, -1}), cfs.Build({false, 0, 2}),
                              Bytes(good.begin(), good.begin() + 31), good, good};
    mkcontents::Seal(bad[4]);  // 31 bytes: too short even with the right words
    bad[5].push_back(0);       // one byte more than the size word says
    bad[6].back() ^= 1;        // a data byte changed without the checksum
    // Section past the end of the file, record data past the end of its section, section shorter than its own
    // head, a record that is not there, a data size near 4 GiB that must not wrap the bounds check.
    for (const auto& fault : {std::make_pair(1, -1), {-1, -1}, {8 - (12 + 268 + 40), -1}, {0, 2}, {0, -1}}) {
        cfs.Sections()[0].lengthDelta = fault.first;
        cfs.Sections()[0].declaredFileCount = fault.second;
        bad.push_back(cfs.Build());
    }
    bad.back()[12 + 12] = bad.back()[12 + 12 + 2] = bad.back()[12 + 12 + 3] = 0xFF;
    mkcontents::Seal(bad.back());
    for (int i = 0; i < 5; ++i) five.AddCfs().files = {{0, 0, "f", Bytes(1, 0)}};
    many.AddFfs(0, 0).files.resize(64, {1, 2, "f", Bytes(1, 0)});
    ASSERT_TRUE(Read(many.Build())) << "64 files fit";
    many.Sections()[0].files.resize(65, {1, 2, "f", Bytes(1, 0)});
    ffsName.AddFfs(0, 0).files = {{1, 1, std::string(256, 'f'), Bytes(2, 0)}};
    cfsName.AddCfs().files = {{0, 0, std::string(256, 'c'), Bytes(2, 0)}};  // NUL past the table's 256 bytes
    for (const auto* b : {&five, &many, &none, &ffsName, &cfsName}) bad.push_back(b->Build());
    for (size_t i = 0; i < bad.size(); ++i) {
        EXPECT_FALSE(Read(bad[i])) << i;
        EXPECT_EQ(host.Messages(2), std::vector<std::string>{"The contents file was corrupted."}) << i;
        EXPECT_EQ(ContentsBuffer(session.get(), nullptr), nullptr) << i;
    }
    // A bad section tag or record magic: no message; the sections before it are entered, the file is held.
    mkcontents::ContentsBuilder builder;
    builder.AddFfs(1, 2).files = {{1, 1, "", Bytes(3, 0)}};
    builder.AddCfs().files = {{0, 0, "x", Bytes(3, 0)}};
    builder.Sections()[1].tag = 0x40585858;
    EXPECT_FALSE(Read(builder.Build()));
    EXPECT_TRUE(host.Messages().empty());
    EXPECT_EQ(Entry(0, 0).size, 3u);
    builder.Sections()[1].tag = mkcontents::kTagCfs;
    builder.Sections()[1].files[0].magic = 0x454C4946;
    EXPECT_FALSE(Read(builder.Build()));
    EXPECT_TRUE(host.Messages().empty());
    EXPECT_NE(ContentsBuffer(session.get(), nullptr), nullptr);
    ReleaseContents(session.get());
    EXPECT_EQ(ContentsBuffer(session.get(), nullptr), nullptr);
}

}  // namespace
