// The phase driver: duration texts, the boot loader phase, and the order of
// the operations of a flash-then-files job.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "flashdll/job/phase.h"
#include "support/job_fixture.h"
#include "tools/mkcontents/contents_builder.h"

namespace {

using namespace testing_support;

TEST(DurationText, SecondsMinutesAndHours) {
    const std::pair<uint32_t, const char*> cases[] = {{1, "1s"},       {59, "59s"},         {60, "1:00"},
                                                      {3599, "59:59"}, {3725, "1:02:05"}, {100 * 3600 + 59, "100:00:59"}};
    char text[32];
    for (const auto& c : cases) EXPECT_STREQ(DurationText(c.first, text, sizeof text), c.second);
}

// An image to flash and one file to write.
class FlashJob : public FlashHandsetTest {
protected:
    void SetUp() override {
        FlashHandsetTest::SetUp();
        WriteImage({{0x20010000, RandomBytes(8192, 5)}});
        mkcontents::ContentsBuilder contents;
        contents.AddCfs();
        contents.AddNamedFile("a.txt", RandomBytes(100, 6));
        ASSERT_TRUE(mkcontents::WriteBytesToFile(job.Path("files.bin"), contents.Build()));
    }
    JobResult RunWithFiles(const std::string& options) {
        return Run("/mode=flash_contents " + options, WithContents(job.Path("files.bin"), 1));
    }
    int IndexOf(const std::string& name) const {
        const std::vector<std::string> names = job.CommandNames();
        const auto it = std::find(names.begin(), names.end(), name);
        return it == names.end() ? -1 : static_cast<int>(it - names.begin());
    }
};

// The boot loader phase alone leaves the flash loader running (no closing
// byte), so that the next job goes straight to the main phase: programming,
// then the files, then DONE.
TEST_F(FlashJob, BootLoaderPhaseThenFlashAndFilesInASecondJob) {
    Start(1, false);
    JobResult result = Run("/phases=bl");
    ASSERT_EQ(result.code, SUCCESS) << result.Transcript();
    EXPECT_TRUE(job.RamHolds("boot", loader));
    EXPECT_EQ(result.host->IndexOfMessageContaining("Duration: 0s"), -1) << "a short phase counts as 1 s";
    EXPECT_GE(result.host->IndexOfMessageContaining("Duration: "), 0);
    EXPECT_EQ(result.host->StatusTexts(), std::vector<std::string>{"All is well !"});
    EXPECT_TRUE(result.Has("Power on mobile !"));

    result = RunWithFiles("/phases=fl");
    ASSERT_EQ(result.code, SUCCESS) << result.Transcript();
    EXPECT_FALSE(result.Has("Power on mobile !"));
    EXPECT_TRUE(job.FlashHolds(image));
    EXPECT_LT(IndexOf("SETP"), IndexOf("FSMT"));
    EXPECT_LT(IndexOf("FSMT"), IndexOf("FSUM"));
    EXPECT_EQ(job.CommandNames().back(), "DONE");
    ASSERT_EQ(handset->Files().size(), 1u);
    EXPECT_EQ(handset->Files()[0].name, "a.txt");
}

// Files follow only a successful programming. (DONE after files that failed:
// test_download's FlashThenFilesNeverFormatsAndEndsWithDoneAfterFailedFiles.)
TEST_F(FlashJob, FilesOnlyAfterASuccessfulProgramming) {
    scenario.faults.errCommand = "OPEN";
    scenario.faults.errNth = 1;
    Start();
    const JobResult result = RunWithFiles("/noretry=1");
    EXPECT_EQ(result.code, ERR_TOO_MANY_RETRIES) << result.Transcript();
    EXPECT_TRUE(result.Has("SendFile: 15 (ERR_TOO_MANY_RETRIES)"));
    EXPECT_EQ(result.host->IndexOfMessageContaining("Duration: "), -1);
    EXPECT_EQ(handset->CountCommands("FSMT") + handset->CountCommands("DONE"), 0u);
    EXPECT_TRUE(handset->Files().empty());
}

}  // namespace
