// The phase driver: duration texts, the boot loader phase with its prompt,
// and the order of the operations of a flash-then-files job.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "flashdll/phase.h"
#include "support/job_fixture.h"
#include "support/recording_host.h"
#include "tools/mkcontents/contents_builder.h"

namespace {

using namespace testing_support;

constexpr uint32_t kLoaderBase = 0x20000000;
constexpr uint32_t kImageAddress = 0x10000;

TEST(DurationText, SecondsMinutesAndHours) {
    const std::pair<uint32_t, const char*> cases[] = {{1, "1s"},          {59, "59s"},          {60, "1:00"},
                                                      {61, "1:01"},       {3599, "59:59"},      {3600, "1:00:00"},
                                                      {3725, "1:02:05"}, {100 * 3600 + 59, "100:00:59"}};
    for (const auto& c : cases) {
        char text[32];
        EXPECT_STREQ(DurationText(c.first, text, sizeof text), c.second);
    }
}

// While the host still shows the prompt, nothing has gone to the handset.
handsetsim::Handset* g_handset = nullptr;
bool g_quietDuringPrompt = false;

void PromptMessage(FlashHostDescriptor* raw, uint32_t level, const char* text) {
    RecordingHost::From(raw)->Record(HostEventKind::Message, level, 0, text);
    if (std::string(text) == "Power on mobile !") {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        g_quietDuringPrompt = g_handset->Commands().empty() && g_handset->RamWrites().empty();
    }
}

// A handset with one 4 MiB chip, an image to flash and one file to write.
class FlashJob : public ::testing::Test {
protected:
    void SetUp() override {
        job.AddPlatform(PassivePlatform("P1", "fl.s19", kLoaderBase).WithFlash({FlashDefinition(0, 4, 0)}));
        loader = job.WriteLoader("fl.s19", kLoaderBase, 4096);
        scenario.chips.push_back(job.AddAmdChip(0x01, 0x227E, 0, "64*64"));
        job.WriteImage("image.s19", {{kImageAddress, image}});
        mkcontents::ContentsBuilder contents;
        contents.AddCfs();
        contents.AddNamedFile("a.txt", RandomBytes(100, 6));
        ASSERT_TRUE(mkcontents::WriteBytesToFile(job.Path("files.bin"), contents.Build()));
    }
    JobResult RunWithFiles(const std::string& options) {
        return job.RunJob("/platform=P1 /com=1 /debug=1 /mode=flash_contents /file=" + job.Path("image.s19") + " " + options,
                          WithContents(job.Path("files.bin"), 1));
    }
    int IndexOf(const std::string& name) const {
        const std::vector<std::string> names = job.CommandNames();
        const auto it = std::find(names.begin(), names.end(), name);
        return it == names.end() ? -1 : static_cast<int>(it - names.begin());
    }

    const std::vector<uint8_t> image = RandomBytes(8192, 5);
    JobFixture job;
    LoaderFile loader;
    handsetsim::Scenario scenario;
};

// The boot loader phase alone leaves the flash loader running (no closing
// byte), so that the next job goes straight to the main phase: programming,
// then the files, then DONE.
TEST_F(FlashJob, BootLoaderPhaseThenFlashAndFilesInASecondJob) {
    g_handset = &job.StartHandset(scenario, {1});
    g_quietDuringPrompt = false;
    JobSetup prompt;
    prompt.adjustHost = [](RecordingHost& host) { host.descriptor.OnMessage = PromptMessage; };
    JobResult result = job.RunJob("/platform=P1 /com=1 /phases=bl /debug=1", prompt);
    ASSERT_EQ(result.code, SUCCESS) << result.Transcript();
    EXPECT_TRUE(g_quietDuringPrompt) << "the prompt is delivered before the dialogue starts";
    EXPECT_TRUE(job.RamHolds("boot", loader));
    EXPECT_TRUE(result.Has("SendFile=" + job.Path("fl.s19") + ", Mode=3"));
    EXPECT_TRUE(result.Has("TalkToBootloader: OK"));
    EXPECT_EQ(result.host->IndexOfMessageContaining("Duration: 0s"), -1) << "a short phase counts as 1 s";
    EXPECT_GE(result.host->IndexOfMessageContaining("Duration: "), 0);
    EXPECT_EQ(result.host->StatusTexts(), std::vector<std::string>{"All is well !"});
    const auto events = result.host->Events();
    EXPECT_TRUE(std::any_of(events.begin(), events.end(), [](const HostEvent& event) {
        return event.kind == HostEventKind::ProgressBegin && event.text == "Power on mobile !" && event.a == 1;
    }));
    g_handset = nullptr;

    result = RunWithFiles("/phases=fl");
    ASSERT_EQ(result.code, SUCCESS) << result.Transcript();
    EXPECT_FALSE(result.Has("Power on mobile !"));
    EXPECT_EQ(job.Handset()->Flash(kImageAddress, static_cast<uint32_t>(image.size())), image);
    EXPECT_LT(IndexOf("SETP"), IndexOf("FSMT"));
    EXPECT_LT(IndexOf("FSMT"), IndexOf("FSUM"));
    EXPECT_EQ(job.CommandNames().back(), "DONE");
    ASSERT_EQ(job.Handset()->Files().size(), 1u);
    EXPECT_EQ(job.Handset()->Files()[0].name, "a.txt");
}

// Files follow only a successful programming; once they were started, DONE
// closes the job whatever became of them.
TEST_F(FlashJob, FilesOnlyAfterProgrammingAndDoneEvenAfterAFailedDownload) {
    scenario.faults.errCommand = "OPEN";
    scenario.faults.errNth = 1;
    scenario.faults.errCount = 100;
    scenario.startInFlashLoader = true;
    job.StartHandset(scenario, {1});
    JobResult result = RunWithFiles("/noretry=1 /phases=fl");
    EXPECT_EQ(result.code, ERR_TOO_MANY_RETRIES) << result.Transcript();
    EXPECT_TRUE(result.Has("SendFile: 15 (ERR_TOO_MANY_RETRIES)"));
    EXPECT_EQ(result.host->IndexOfMessageContaining("Duration: "), -1);
    EXPECT_EQ(IndexOf("FSMT"), -1);
    EXPECT_EQ(IndexOf("DONE"), -1);
    EXPECT_TRUE(job.Handset()->Files().empty());

    scenario.faults = {};
    scenario.faults.fileOpenFails = true;
    job.StartHandset(scenario, {1});
    result = RunWithFiles("/noretry=1 /phases=fl");
    EXPECT_EQ(result.code, ERR_TOO_MANY_RETRIES) << result.Transcript();
    EXPECT_GT(IndexOf("FIOP"), 0);
    EXPECT_EQ(job.CommandNames().back(), "DONE");
}

}  // namespace
