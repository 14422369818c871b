// A load from FlashLoad to its result: argument checks, delivery on the delivery
// thread (through an overflow), the abort poll, the port list, the end-of-load
// report, and a host that never returns from a callback.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/job_fixture.h"

namespace {

using namespace testing_support;

TEST(FlashLoad, RefusesBadArgumentsWithoutStartingAnything) {
    RecordingHost host;
    auto options = std::make_unique<FlashLoadOptions>();
    ASSERT_EQ(FlashInit(&host.descriptor, options.get()), SUCCESS);
    host.InstallCallbacks();
    EXPECT_EQ(FlashLoad(&host.descriptor, options.get()), ERR_BAD_PARAMS) << "defaults name no COM port";
    // 51 read ranges in mode flash: sorting them would reach into the flags behind the list.
    options->com[0] = 0;
    for (uint32_t i = 0; i < FLASH_MAX_RANGES; ++i) options->read[i] = {0x1000u * (60 - i), 0x1000u * (60 - i) + 1};
    options->readcount = FLASH_MAX_RANGES + 1;
    EXPECT_EQ(FlashLoad(&host.descriptor, options.get()), ERR_BAD_PARAMS);
    EXPECT_TRUE(host.Events().empty()) << host.Transcript();
    FlashFinish(&host.descriptor);
}

// The host sits half a second in the OnMessage of the reader's first report
// line: meanwhile the other 2999 run the 16 KiB ring full and must wait.
void SlowFirstReport(FlashHostDescriptor* raw, uint32_t level, const char* text) {
    if (std::string(text).rfind("SRE line 1:", 0) == 0) std::this_thread::sleep_for(std::chrono::milliseconds(500));
    RecordingHost::From(raw)->Record(HostEventKind::Message, level, 0, text);
}

TEST(FlashLoad, EveryNotificationArrivesInOrderOnTheDeliveryThreadThroughAnOverflow) {
    JobFixture job;
    job.AddPlatform(PassivePlatform("P1", "fl.s19", 0x20000000));
    job.StartHandset(handsetsim::Scenario{}, {1});
    std::string image;
    for (int i = 0; i < 3000; ++i) image += "S0030000FC\n";  // a header record: reported and skipped
    job.Home().Write("image.s19", image + "this is no S-record\n");
    const JobSetup setup{{}, [](RecordingHost& host) { host.descriptor.OnMessage = SlowFirstReport; }};
    const JobResult result = job.RunJob("/platform=P1 /com=1 /phases=fl /debug=1 /file=" + job.Path("image.s19"), setup);
    ASSERT_EQ(result.code, ERR_BAD_SREC_FILE) << result.Transcript();

    const std::vector<HostEvent> events = result.host->Events();
    for (const HostEvent& event : events) {
        ASSERT_NE(event.thread, std::this_thread::get_id()) << event.text;
        ASSERT_EQ(event.thread, events.front().thread) << event.text;
    }
    int line = 0;
    for (const std::string& text : result.host->Messages()) {
        if (text.find(": IGNORING: ") != std::string::npos) {
            ASSERT_EQ(text, "SRE line " + std::to_string(++line) + ": IGNORING: S0030000FC");
        }
    }
    EXPECT_EQ(line, 3000);
    EXPECT_GE(result.host->CountMessages("Prevented message overflow !"), 1u);
    EXPECT_EQ(result.host->CountMessages("ThreadGUI started"), 1u);  // may follow ThreadProtocol's first line
    EXPECT_EQ(result.host->Messages().back(), "ThreadGUI finished") << "the last line comes after the final drain";
    const std::string sorry = "Sorry, an error has occured ! (ERR_BAD_SREC_FILE)";
    int previous = -1;
    for (const char* text : {"ThreadProtocol started", "Error code: ERR_BAD_SREC_FILE", sorry.c_str(),
                             "ThreadProtocol finished", "ThreadProtocol: 17"}) {
        EXPECT_GT(result.host->IndexOfMessage(text), previous) << text;
        previous = result.host->IndexOfMessage(text);
    }
    EXPECT_TRUE(result.Has(sorry, FLASH_LEVEL_ERROR));
    EXPECT_EQ(result.host->StatusTexts(), std::vector<std::string>{sorry});
}

std::vector<std::chrono::steady_clock::time_point> g_pollTimes;

int32_t TimedPollAbort(FlashHostDescriptor* raw) {  // on the delivery thread alone
    g_pollTimes.push_back(std::chrono::steady_clock::now());
    return ++RecordingHost::From(raw)->polls > 2 ? 1 : 0;
}

// The boot ROM never answers: the job waits until the host asks for an
// abort. COM1 is listed twice, and the boot-loader-only job does not read
// the (missing) image.
TEST(FlashLoad, AbortPollRunsAboutEvery750MsAndStopsAfterTheFirstYes) {
    JobFixture job;
    job.AddPlatform(PassivePlatform("P1", "fl.s19", 0x20000000));
    job.WriteLoader("fl.s19", 0x20000000, 2048);
    handsetsim::Scenario scenario;
    scenario.faults.bootSilent = true;
    job.StartHandset(scenario, {1});
    const JobSetup setup{{}, [](RecordingHost& host) { host.descriptor.OnPollAbort = TimedPollAbort; }};
    const std::string image = job.Path("image.s19");
    const JobResult result = job.RunJob("/platform=P1 /com=1,1 /phases=bl /debug=1 /mode=flash /file=" + image, setup);

    EXPECT_EQ(result.code, ERR_ABORT) << result.Transcript();
    EXPECT_EQ(result.host->polls.load(), 3) << "no question after the first yes";
    ASSERT_EQ(g_pollTimes.size(), 3u);
    for (size_t i = 1; i < g_pollTimes.size(); ++i) {
        const auto gap = std::chrono::duration_cast<std::chrono::milliseconds>(g_pollTimes[i] - g_pollTimes[i - 1]);
        EXPECT_TRUE(gap.count() >= 700 && gap.count() <= 4000) << gap.count() << " ms";
    }
    EXPECT_TRUE(result.Has("Error code: ERR_ABORT"));
    EXPECT_TRUE(result.Has("Sorry, an error has occured ! (ERR_ABORT)", FLASH_LEVEL_ERROR));
    EXPECT_EQ(result.host->CountMessages("Opened COM1 at 115200 baud"), 1u) << "a port listed twice is used once";
    EXPECT_EQ(result.host->CountMessages("Closed COM1"), 1u);
    EXPECT_TRUE(result.Has("Power on mobile !"));
    EXPECT_FALSE(result.Has("Error: Unable to open file \"" + image + "\""));
}

// A host that shows the final status and does not return: FlashLoad gives
// the delivery thread 10 s, then returns without it. When the host finally
// returns, the thread must not touch the session, which is gone by then.
std::atomic<bool> g_statusReturns{false};

void BlockingStatus(FlashHostDescriptor* raw, const char* text) {
    RecordingHost::From(raw)->Record(HostEventKind::Status, 0, 0, text);
    while (!g_statusReturns) std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

TEST(FlashLoad, DeliveryThreadStuckInTheHostIsGivenUpOn) {
    JobFixture job;
    const JobSetup setup{{}, [](RecordingHost& host) { host.descriptor.OnStatusText = BlockingStatus; }};
    const auto start = std::chrono::steady_clock::now();
    const JobResult result = job.RunJob("/platform=P1 /com=1 /debug=1", setup);
    EXPECT_EQ(result.code, ERR_BAD_PLATFORM);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(9900));
    EXPECT_EQ(result.host->StatusTexts().size(), 1u);
    g_statusReturns = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_FALSE(result.Has("ThreadGUI finished")) << "an abandoned thread delivers nothing more";
}

}  // namespace
