// The phase driver: duration texts, the boot loader phase with its prompt,
// a main phase whose handshake fails, and the order of the operations of a
// flash-then-files job.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "flashdll/phase.h"
#include "support/job_fixture.h"
#include "support/recording_host.h"
#include "tools/mkcontents/contents_builder.h"

namespace {

using testing_support::FlashDefinition;
using testing_support::HostEventKind;
using testing_support::ImageChunk;
using testing_support::JobFixture;
using testing_support::JobResult;
using testing_support::JobSetup;
using testing_support::LoaderFile;
using testing_support::PassivePlatform;
using testing_support::RandomBytes;
using testing_support::RecordingHost;

constexpr uint32_t kLoaderBase = 0x20000000;

std::string Duration(uint32_t seconds) {
    char text[32];
    return DurationText(seconds, text, sizeof text);
}

TEST(DurationText, SecondsMinutesAndHours) {
    EXPECT_EQ(Duration(1), "1s");
    EXPECT_EQ(Duration(59), "59s");
    EXPECT_EQ(Duration(60), "1:00");
    EXPECT_EQ(Duration(61), "1:01");
    EXPECT_EQ(Duration(3599), "59:59");
    EXPECT_EQ(Duration(3600), "1:00:00");
    EXPECT_EQ(Duration(3725), "1:02:05");
    EXPECT_EQ(Duration(100 * 3600 + 59), "100:00:59");
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

TEST(SendFile, BootLoaderPhasePromptsFirstThenLoadsTheFlashLoader) {
    JobFixture job;
    job.AddPlatform(PassivePlatform("P1", "fl.s19", kLoaderBase));
    const LoaderFile loader = job.WriteLoader("fl.s19", kLoaderBase, 10000);
    g_handset = &job.StartHandset(handsetsim::Scenario{}, {1});
    g_quietDuringPrompt = false;
    JobSetup setup;
    setup.adjustHost = [](RecordingHost& host) { host.descriptor.OnMessage = PromptMessage; };
    const JobResult result = job.RunJob("/platform=P1 /com=1 /phases=bl /debug=1", setup);

    ASSERT_EQ(result.code, SUCCESS) << result.Transcript();
    EXPECT_TRUE(g_quietDuringPrompt) << "the prompt is delivered before the dialogue starts";
    EXPECT_TRUE(job.RamHolds("boot", loader));
    EXPECT_TRUE(result.host->HasMessage("SendFile=" + job.Path("fl.s19") + ", Mode=3"));
    EXPECT_TRUE(result.host->HasMessage("TalkToBootloader: OK"));
    EXPECT_EQ(result.host->IndexOfMessageContaining("Duration: 0s"), -1) << "a short phase counts as 1 s";
    EXPECT_GE(result.host->IndexOfMessageContaining("Duration: "), 0);
    EXPECT_TRUE(result.host->HasMessage("All is well !", FLASH_LEVEL_INFO));
    EXPECT_EQ(result.host->StatusTexts(), std::vector<std::string>{"All is well !"});
    bool prompted = false;
    for (const auto& event : result.host->Events()) {
        prompted = prompted || (event.kind == HostEventKind::ProgressBegin && event.text == "Power on mobile !" && event.a == 1);
    }
    EXPECT_TRUE(prompted);
    g_handset = nullptr;
}

// No flash loader answers the switch-over: waits out its 5 s once.
TEST(SendFile, FailingHandshakeRunsNoOperation) {
    JobFixture job;
    job.AddPlatform(PassivePlatform("P1", "fl.s19", kLoaderBase));
    job.WriteImage("image.s19", {{0x1000, RandomBytes(64, 3)}});
    job.UseIdlePort(1);
    const JobResult result = job.RunJob("/platform=P1 /com=1 /phases=fl /debug=1 /file=" + job.Path("image.s19"));

    EXPECT_EQ(result.code, ERR_PROTOCOL) << result.Transcript();
    EXPECT_TRUE(result.host->HasMessage("SendFile: 5 (ERR_PROTOCOL)"));
    EXPECT_FALSE(result.host->HasMessage("TalkToFlashloader: OK"));
    EXPECT_EQ(result.host->IndexOfMessageContaining("Duration: "), -1);
}

// A handset with one 4 MiB chip, an image to flash and one file to write.
class FlashJob : public ::testing::Test {
protected:
    void SetUp() override {
        job.AddPlatform(PassivePlatform("P1", "fl.s19", kLoaderBase).WithFlash({FlashDefinition(0, 4, 0)}));
        job.WriteLoader("fl.s19", kLoaderBase, 4096);
        scenario.chips.push_back(job.AddAmdChip(0x01, 0x227E, 0, "64*64"));
        job.WriteImage("image.s19", {{kImageAddress, image}});
        mkcontents::ContentsBuilder contents;
        contents.AddCfs();
        contents.AddNamedFile("a.txt", RandomBytes(100, 6));
        ASSERT_TRUE(mkcontents::WriteBytesToFile(job.Path("files.bin"), contents.Build()));
    }
    JobResult Run(const std::string& options) {
        if (job.Handset() == nullptr) {
            job.StartHandset(scenario, {1});
        }
        return job.RunJob("/platform=P1 /com=1 /file=" + job.Path("image.s19") + " " + options);
    }
    JobResult RunWithFiles(const std::string& options) {
        job.StartHandset(scenario, {1});
        JobSetup setup;
        const std::string contentsPath = job.Path("files.bin");
        setup.adjustOptions = [contentsPath](FlashLoadOptions& record) {
            std::snprintf(record.contentsfile, sizeof record.contentsfile, "%s", contentsPath.c_str());
            record.contentsmode = 1;
        };
        return job.RunJob("/platform=P1 /com=1 /mode=flash_contents /file=" + job.Path("image.s19") + " " + options,
                          setup);
    }
    std::vector<std::string> CommandNames() {
        std::vector<std::string> names;
        for (const auto& command : job.Handset()->Commands()) names.push_back(command.name);
        return names;
    }
    static int IndexOf(const std::vector<std::string>& names, const std::string& name) {
        for (size_t i = 0; i < names.size(); ++i) {
            if (names[i] == name) return static_cast<int>(i);
        }
        return -1;
    }

    static constexpr uint32_t kImageAddress = 0x10000;
    const std::vector<uint8_t> image = RandomBytes(8192, 5);
    JobFixture job;
    handsetsim::Scenario scenario;
};

// The boot loader phase alone leaves the flash loader running (no closing
// byte), so that a later job can go straight to the main phase.
TEST_F(FlashJob, BootLoaderPhaseAndMainPhaseInTwoJobs) {
    const JobResult first = Run("/phases=bl /mode=flash");
    ASSERT_EQ(first.code, SUCCESS) << first.Transcript();
    const JobResult second = Run("/phases=fl /mode=flash");
    ASSERT_EQ(second.code, SUCCESS) << second.Transcript();
    EXPECT_EQ(job.Handset()->Flash(kImageAddress, static_cast<uint32_t>(image.size())), image);
    EXPECT_FALSE(second.host->HasMessage("Power on mobile !"));
}

TEST_F(FlashJob, ProgramsThenWritesTheFilesThenClosesWithDone) {
    const JobResult result = RunWithFiles("");
    ASSERT_EQ(result.code, SUCCESS) << result.Transcript();
    const std::vector<std::string> names = CommandNames();
    ASSERT_FALSE(names.empty());
    EXPECT_EQ(names.back(), "DONE");
    EXPECT_LT(IndexOf(names, "SETP"), IndexOf(names, "FSMT"));
    EXPECT_LT(IndexOf(names, "FSMT"), IndexOf(names, "FSUM"));
    ASSERT_EQ(job.Handset()->Files().size(), 1u);
    EXPECT_EQ(job.Handset()->Files()[0].name, "a.txt");
}

TEST_F(FlashJob, FailedProgrammingWritesNoFile) {
    scenario.faults.errCommand = "OPEN";
    scenario.faults.errNth = 1;
    scenario.faults.errCount = 100;
    const JobResult result = RunWithFiles("/noretry=1");
    EXPECT_NE(result.code, SUCCESS);
    EXPECT_EQ(job.Handset()->CountCommands("FSMT"), 0u) << result.Transcript();
    EXPECT_TRUE(job.Handset()->Files().empty());
}

TEST_F(FlashJob, FailedFileWriteStillEndsWithDone) {
    scenario.faults.fileOpenFails = true;
    const JobResult result = RunWithFiles("/noretry=1");
    EXPECT_EQ(result.code, ERR_TOO_MANY_RETRIES) << result.Transcript();
    const std::vector<std::string> names = CommandNames();
    ASSERT_FALSE(names.empty());
    EXPECT_EQ(names.back(), "DONE");
    EXPECT_GT(IndexOf(names, "FIOP"), 0);
}

}  // namespace
