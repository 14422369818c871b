// The stand-in handset's file systems: mount, open, write, close, size
// check, unmount, the folder the files land in, and the file faults.
#include <gtest/gtest.h>

#include "support/handsetsim_client.h"
#include "support/temp_dir.h"

namespace {

using handsetsim::Handset;
using handsetsim::Scenario;
using handsetsim::StoredFile;
using handsetsim_test::Append;
using handsetsim_test::Bytes;
using handsetsim_test::Exchange;
using handsetsim_test::FlReply;
using handsetsim_test::PcPort;
using handsetsim_test::WordAt;
using handsetsim_test::Words;

constexpr uint32_t kFfs = 1, kCfs = 2, kFdi = 3;
constexpr uint32_t kSizeDiffers = 0xFFFFFFFF;

Bytes FfsMount(uint32_t format, uint32_t files) {
    Bytes payload = Words({kFfs, format, files, 0x11, 0x22, 290});
    Append(&payload, Bytes(290, 0x5A));
    return payload;
}

Bytes Named(std::initializer_list<uint32_t> head, const std::string& name) {
    Bytes payload = Words(head);
    Append(&payload, Words({static_cast<uint32_t>(name.size() + 1)}));
    payload.insert(payload.end(), name.begin(), name.end());
    payload.push_back(0);
    return payload;
}

Bytes WritePayload(uint32_t handle, const Bytes& data) {
    Bytes payload = Words({handle, static_cast<uint32_t>(data.size())});
    Append(&payload, data);
    return payload;
}

class FileSystemTest : public ::testing::Test {
protected:
    void Begin(Scenario scenario = handsetsim_test::FlashScenario()) {
        std::string error;
        handset_ = Handset::Start(scenario, &error);
        ASSERT_TRUE(handset_) << error;
        port_ = std::make_unique<PcPort>(handset_->UartPath(0));
        ASSERT_EQ(handsetsim_test::SwitchOver(*port_), 'A');
        ASSERT_TRUE(Ask("SETP", Words({1, 0x227E, 0, 0, 0, 0, 0, 0, 0})).ok);
    }
    FlReply Ask(const std::string& code, const Bytes& payload) { return Exchange(*port_, code, payload); }
    // FIOP, FIWR in pieces, FICL; returns the handle.
    uint32_t WriteFile(const Bytes& open, const Bytes& data, size_t piece) {
        FlReply opened = Ask("FIOP", open);
        EXPECT_TRUE(opened.ok);
        uint32_t handle = WordAt(opened.data, 0);
        for (size_t at = 0; at < data.size(); at += piece) {
            Bytes chunk(data.begin() + at, data.begin() + std::min(data.size(), at + piece));
            FlReply written = Ask("FIWR", WritePayload(handle, chunk));
            EXPECT_TRUE(written.ok);
            EXPECT_EQ(WordAt(written.data, 0), chunk.size());
        }
        EXPECT_TRUE(Ask("FICL", Words({handle})).ok);
        return handle;
    }

    std::unique_ptr<Handset> handset_;
    std::unique_ptr<PcPort> port_;
};

TEST_F(FileSystemTest, FfsAndCfsFilesAreStoredCheckedAndSaved) {
    testing_support::TempDir dir;
    Scenario scenario = handsetsim_test::FlashScenario();
    scenario.filesFolder = dir.File("files");
    Begin(scenario);
    Bytes first(1000, 0x31), second(300, 0x32);

    ASSERT_TRUE(Ask("FSMT", FfsMount(0, 1)).ok);
    WriteFile(Words({kFfs, 7, 0x1234}), first, 256);
    EXPECT_EQ(WordAt(Ask("CHKS", Words({kFfs, 1000, 7, 0x1234})).data, 0), 0u);
    EXPECT_EQ(WordAt(Ask("CHKS", Words({kFfs, 999, 7, 0x1234})).data, 0), kSizeDiffers);
    EXPECT_EQ(WordAt(Ask("CHKS", Words({kFfs, 1000, 8, 0x1234})).data, 0), kSizeDiffers);
    ASSERT_TRUE(Ask("FSUM", Words({kFfs})).ok);

    ASSERT_TRUE(Ask("FSMT", Words({kCfs, 0, 1})).ok);
    WriteFile(Named({kCfs}, "../../escape"), second, 4096);
    EXPECT_EQ(WordAt(Ask("CHKS", Named({kCfs, 300}, "../../escape")).data, 0), 0u);
    ASSERT_TRUE(Ask("FSUM", Words({kCfs})).ok);

    std::vector<StoredFile> files = handset_->Files();
    ASSERT_EQ(files.size(), 2u);
    EXPECT_EQ(files[0].fsType, kFfs);
    EXPECT_EQ(files[0].ownerId, 7u);
    EXPECT_EQ(files[0].fileId, 0x1234u);
    EXPECT_EQ(files[0].data, first);
    EXPECT_TRUE(files[0].closed);
    EXPECT_EQ(files[1].name, "../../escape");
    EXPECT_EQ(files[1].data, second);

    std::string saved = testing_support::ReadFileText(dir.File("files/FFS/owner_7_file_4660"));
    EXPECT_EQ(saved, std::string(1000, '1'));
    // The name cannot lead out of the folder.
    EXPECT_EQ(testing_support::ReadFileText(dir.File("escape")), "");
    EXPECT_EQ(testing_support::ReadFileText(dir.File("files/CFS/_.._.._escape")), std::string(300, '2'));
}

TEST_F(FileSystemTest, CommandsOutsideTheirMountAreRefused) {
    Begin();
    EXPECT_FALSE(Ask("FIOP", Named({kCfs}, "a.txt")).ok);  // nothing mounted
    ASSERT_TRUE(Ask("FSMT", Words({kCfs, 0, 1})).ok);
    EXPECT_FALSE(Ask("FIOP", Words({kFfs, 1, 2})).ok);      // another file system
    EXPECT_FALSE(Ask("FIWR", WritePayload(99, Bytes(4, 0))).ok);
    EXPECT_FALSE(Ask("FICL", Words({99})).ok);
    Bytes unterminated = Named({kCfs}, "a.txt");
    unterminated.back() = 'x';
    EXPECT_FALSE(Ask("FIOP", unterminated).ok);
    EXPECT_FALSE(Ask("FSUM", Words({kFdi})).ok);
    EXPECT_TRUE(Ask("FSUM", Words({kCfs})).ok);
    EXPECT_TRUE(Ask("FSUM", Words({kCfs})).ok);  // a repeated unmount is harmless

    // FDI areas must lie in the flash the mount names.
    EXPECT_TRUE(Ask("FSMT", Words({kFdi, 0, 1, 0x20000000, 0x400000, 0x20100000, 0x201FFFFF})).ok);
    EXPECT_FALSE(Ask("FSMT", Words({kFdi, 0, 1, 0x20000000, 0x400000, 0x20100000, 0x20400000})).ok);
    EXPECT_FALSE(Ask("FSMT", Words({kFfs, 0, 1, 0, 0, 290})).ok);  // chip table missing
}

TEST_F(FileSystemTest, FormatFlagForgetsTheFileSystemsFiles) {
    Begin();
    ASSERT_TRUE(Ask("FSMT", Words({kCfs, 0, 1})).ok);
    WriteFile(Named({kCfs}, "old"), Bytes(10, 1), 10);
    ASSERT_TRUE(Ask("FSMT", FfsMount(0, 1)).ok);
    WriteFile(Words({kFfs, 1, 1}), Bytes(10, 2), 10);
    ASSERT_TRUE(Ask("FSMT", Words({kCfs, 1, 1})).ok);
    std::vector<StoredFile> files = handset_->Files();
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(files[0].fsType, kFfs);
}

TEST_F(FileSystemTest, FileFaults) {
    Scenario scenario = handsetsim_test::FlashScenario();
    scenario.faults.fileWriteShort = true;
    scenario.faults.checkFileSizeFails = true;
    Begin(scenario);
    ASSERT_TRUE(Ask("FSMT", Words({kCfs, 0, 1})).ok);
    FlReply opened = Ask("FIOP", Named({kCfs}, "f"));
    ASSERT_TRUE(opened.ok);
    FlReply written = Ask("FIWR", WritePayload(WordAt(opened.data, 0), Bytes(50, 7)));
    EXPECT_EQ(WordAt(written.data, 0), 49u);
    EXPECT_EQ(handset_->Files().at(0).data.size(), 49u);
    EXPECT_EQ(WordAt(Ask("CHKS", Named({kCfs, 49}, "f")).data, 0), kSizeDiffers);

    scenario.faults = handsetsim::Faults{};
    scenario.faults.fileOpenFails = true;
    Begin(scenario);
    ASSERT_TRUE(Ask("FSMT", Words({kCfs, 0, 1})).ok);
    FlReply refused = Ask("FIOP", Named({kCfs}, "g"));
    EXPECT_TRUE(refused.ok);
    EXPECT_EQ(WordAt(refused.data, 0), 0xFFFFFFFFu);
    EXPECT_TRUE(handset_->Files().empty());
}

}  // namespace
