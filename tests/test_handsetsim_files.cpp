// The stand-in handset's file systems: commands refused outside their mount,
// the size check, and a files folder that names cannot lead out of. Whole
// downloads run in the library's download tests.
#include <gtest/gtest.h>

#include <tuple>

#include "support/handsetsim_client.h"
#include "support/temp_dir.h"
#include "tools/handsetsim/file_store.h"

namespace {

using handsetsim::kFsCfs;
using handsetsim::kFsFdi;
using handsetsim::kFsFfs;
using namespace handsetsim_test;

// Words, then a name: its length (with the zero), its bytes and the zero.
Bytes Named(std::initializer_list<uint32_t> head, const std::string& name) {
    return Words(head) + Words({static_cast<uint32_t>(name.size() + 1)}) +
           Bytes(name.c_str(), name.c_str() + name.size() + 1);
}

using HandsetSimFiles = HandsetTest;

TEST_F(HandsetSimFiles, ClosedFileIsSavedInsideTheFolderSizeCheckedAndFormattedAway) {
    testing_support::TempDir dir;
    handsetsim::Scenario scenario = FlashScenario();
    scenario.filesFolder = dir.File("files");
    Begin(scenario);
    ASSERT_TRUE(Ask("FSMT", Words({kFsCfs, 0, 1})).ok);
    uint32_t handle = WordAt(Ask("FIOP", Named({kFsCfs}, "../../escape")).data, 0);
    EXPECT_EQ(WordAt(Ask("FIWR", Words({handle, 300}) + Bytes(300, '1')).data, 0), 300u);
    EXPECT_EQ(WordAt(Ask("FIWR", Words({handle, 300}) + Bytes(300, '2')).data, 0), 300u);
    ASSERT_TRUE(Ask("FICL", Words({handle})).ok);
    auto sizeCheck = [&](uint32_t size, const char* name) {
        return WordAt(Ask("CHKS", Named({kFsCfs, size}, name)).data, 0);
    };
    EXPECT_EQ(sizeCheck(600, "../../escape"), 0u);
    EXPECT_EQ(sizeCheck(599, "../../escape"), 0xFFFFFFFFu);
    EXPECT_EQ(sizeCheck(600, "escape"), 0xFFFFFFFFu);
    EXPECT_EQ(testing_support::ReadFileText(dir.File("files/CFS/_.._.._escape")),
              std::string(300, '1') + std::string(300, '2'));
    EXPECT_EQ(testing_support::ReadFileText(dir.File("escape")), "");
    ASSERT_TRUE(Ask("FSMT", Words({kFsCfs, 1, 1})).ok);  // the format flag forgets the file system's files
    EXPECT_EQ(sizeCheck(600, "../../escape"), 0xFFFFFFFFu);
}

TEST_F(HandsetSimFiles, CommandsOutsideTheirMountAreRefused) {
    Begin();
    EXPECT_EQ(ErrorWord(Ask("FIOP", Named({kFsCfs}, "a.txt"))), 3u);  // nothing mounted
    ASSERT_TRUE(Ask("FSMT", Words({kFsCfs, 0, 1})).ok);
    Bytes unterminated = Named({kFsCfs}, "a.txt");
    unterminated.back() = 'x';
    const std::tuple<const char*, Bytes, uint32_t> cases[] = {
        {"FIOP", Words({kFsFfs, 1, 2}), 3},  // not the mounted file system
        {"FIWR", Words({99, 4}) + Bytes(4, 0), 8},
        {"FICL", Words({99}), 8},
        {"FIOP", unterminated, 2},
        {"FSUM", Words({kFsFdi}), 3},
        {"FSMT", Words({kFsFdi, 0, 1, 0x20000000, 0x400000, 0x20100000, 0x20400000}), 2},  // area outside
        {"FSMT", Words({kFsFfs, 0, 1, 0, 0, 290}), 2},  // without its chip table
    };
    for (const auto& [code, payload, error] : cases) {
        EXPECT_EQ(ErrorWord(Ask(code, payload)), error) << code;
    }
    EXPECT_TRUE(Ask("FSUM", Words({kFsCfs})).ok);
    EXPECT_TRUE(Ask("FSUM", Words({kFsCfs})).ok);  // a repeated unmount is harmless
    EXPECT_TRUE(Ask("FSMT", Words({kFsFdi, 0, 1, 0x20000000, 0x400000, 0x20100000, 0x201FFFFF})).ok);
}

TEST(HandsetSimFileStore, RelativePathsStayInsideTheFolder) {
    EXPECT_EQ(handsetsim::FileStore::RelativePath({kFsFfs, 3, 9, "x", {}, true}), "FFS/owner_3_file_9");
    EXPECT_EQ(handsetsim::FileStore::RelativePath({kFsFdi, 0, 0, "..", {}, true}), "FDI/_..");
    EXPECT_EQ(handsetsim::FileStore::RelativePath({kFsCfs, 0, 0, ".hidden", {}, true}), "CFS/_.hidden");
    EXPECT_EQ(handsetsim::FileStore::RelativePath({kFsCfs, 0, 0, "a/b\\c d.txt", {}, true}), "CFS/a_b_c_d.txt");
}

}  // namespace
