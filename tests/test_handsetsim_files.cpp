// The stand-in handset's file systems: the commands it refuses outside their
// mount, the size check, and the files folder, whose names must not lead out
// of it. Whole downloads run in the library's download tests.
#include <gtest/gtest.h>

#include "support/handsetsim_client.h"
#include "support/temp_dir.h"
#include "tools/handsetsim/file_store.h"

namespace {

using handsetsim::FileStore;
using handsetsim::Handset;
using handsetsim::kFsCfs;
using handsetsim::kFsFdi;
using handsetsim::kFsFfs;
using namespace handsetsim_test;

constexpr uint32_t kSizeDiffers = 0xFFFFFFFF;

// Words, then a name as its length (with the zero), its bytes and the zero.
Bytes Named(std::initializer_list<uint32_t> head, const std::string& name) {
    Bytes payload = Words(head), length = Words({static_cast<uint32_t>(name.size() + 1)});
    payload.insert(payload.end(), length.begin(), length.end());
    payload.insert(payload.end(), name.c_str(), name.c_str() + name.size() + 1);
    return payload;
}

Bytes Write(uint32_t handle, const Bytes& data) {
    Bytes payload = Words({handle, static_cast<uint32_t>(data.size())});
    payload.insert(payload.end(), data.begin(), data.end());
    return payload;
}

class HandsetSimFiles : public ::testing::Test {
protected:
    void Begin(const handsetsim::Scenario& scenario = FlashScenario()) {
        std::string error;
        handset_ = Handset::Start(scenario, &error);
        ASSERT_TRUE(handset_) << error;
        port_ = std::make_unique<PcPort>(handset_->UartPath(0));
        ASSERT_EQ(SwitchOver(*port_), 'A');
        ASSERT_TRUE(Ask("SETP", Words({1, 0x227E, 0, 0, 0, 0, 0, 0, 0})).ok);
    }
    Reply Ask(const std::string& code, const Bytes& payload) { return Exchange(*port_, code, payload); }

    std::unique_ptr<Handset> handset_;
    std::unique_ptr<PcPort> port_;
};

TEST_F(HandsetSimFiles, ClosedFileIsSavedInsideTheFolderAndSizeChecked) {
    testing_support::TempDir dir;
    handsetsim::Scenario scenario = FlashScenario();
    scenario.filesFolder = dir.File("files");
    Begin(scenario);
    ASSERT_TRUE(Ask("FSMT", Words({kFsCfs, 0, 1})).ok);
    Reply opened = Ask("FIOP", Named({kFsCfs}, "../../escape"));
    ASSERT_TRUE(opened.ok);
    for (char piece : {'1', '2'}) {  // each FIWR appends
        EXPECT_EQ(WordAt(Ask("FIWR", Write(WordAt(opened.data, 0), Bytes(300, piece))).data, 0), 300u);
    }
    ASSERT_TRUE(Ask("FICL", Words({WordAt(opened.data, 0)})).ok);
    EXPECT_EQ(WordAt(Ask("CHKS", Named({kFsCfs, 600}, "../../escape")).data, 0), 0u);
    EXPECT_EQ(WordAt(Ask("CHKS", Named({kFsCfs, 599}, "../../escape")).data, 0), kSizeDiffers);
    EXPECT_EQ(WordAt(Ask("CHKS", Named({kFsCfs, 600}, "escape")).data, 0), kSizeDiffers);
    EXPECT_EQ(testing_support::ReadFileText(dir.File("files/CFS/_.._.._escape")),
              std::string(300, '1') + std::string(300, '2'));
    EXPECT_EQ(testing_support::ReadFileText(dir.File("escape")), "");
    EXPECT_EQ(handset_->Files().at(0).name, "../../escape");  // the handset keeps the name sent
}

TEST_F(HandsetSimFiles, CommandsOutsideTheirMountAreRefused) {
    Begin();
    EXPECT_EQ(ErrorWord(Ask("FIOP", Named({kFsCfs}, "a.txt"))), 3u);  // nothing mounted
    ASSERT_TRUE(Ask("FSMT", Words({kFsCfs, 0, 1})).ok);
    Bytes unterminated = Named({kFsCfs}, "a.txt");
    unterminated.back() = 'x';
    struct Case {
        const char* code;
        Bytes payload;
        uint32_t error;
    };
    const Case cases[] = {
        {"FIOP", Words({kFsFfs, 1, 2}), 3},  // another file system than the mounted one
        {"FIWR", Write(99, Bytes(4, 0)), 8},
        {"FICL", Words({99}), 8},
        {"FIOP", unterminated, 2},
        {"FSUM", Words({kFsFdi}), 3},
        {"FSMT", Words({kFsFdi, 0, 1, 0x20000000, 0x400000, 0x20100000, 0x20400000}), 2},  // area outside
        {"FSMT", Words({kFsFfs, 0, 1, 0, 0, 290}), 2},  // the chip table missing
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ErrorWord(Ask(c.code, c.payload)), c.error) << c.code;
    }
    EXPECT_TRUE(Ask("FSUM", Words({kFsCfs})).ok);
    EXPECT_TRUE(Ask("FSUM", Words({kFsCfs})).ok);  // a repeated unmount is harmless
    EXPECT_TRUE(Ask("FSMT", Words({kFsFdi, 0, 1, 0x20000000, 0x400000, 0x20100000, 0x201FFFFF})).ok);
}

TEST(HandsetSimFileStore, RelativePathsStayInsideTheFolder) {
    const struct {
        uint32_t fsType;
        const char* name;
        const char* path;
    } cases[] = {
        {kFsFfs, "", "FFS/owner_3_file_9"},        {kFsCfs, "../../escape", "CFS/_.._.._escape"},
        {kFsFdi, "..", "FDI/_.."},                 {kFsCfs, "", "CFS/_"},
        {kFsCfs, "a/b\\c d.txt", "CFS/a_b_c_d.txt"}, {kFsFdi, ".hidden", "FDI/_.hidden"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(FileStore::RelativePath(handsetsim::StoredFile{c.fsType, 3, 9, c.name, {}, true}), c.path);
    }
}

}  // namespace
