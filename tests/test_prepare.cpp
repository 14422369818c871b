// Preparing a load: every failure with its code, message and recorded
// error, ports closed on the way out, the option ranges arranged, the
// phases that skip the loaders or the image, the speed probe and the
// thread-priority stack.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "flashdll/os/thread.h"
#include "flashdll/prepare.h"
#include "flashdll/session.h"
#include "support/job_fixture.h"
#include "support/recording_host.h"

namespace {

using testing_support::JobFixture;
using testing_support::JobResult;
using testing_support::JobSetup;
using testing_support::PassivePlatform;
using testing_support::PassiveWithSetupLoader;
using testing_support::RecordingHost;

constexpr uint32_t kLoaderBase = 0x20000000;

// A passive platform with its flash loader in place and COM1 open to a
// handset that never answers.
class PrepareJob : public ::testing::Test {
protected:
    void SetUp() override {
        job.AddPlatform(PassivePlatform("P1", "fl.s19", kLoaderBase));
        job.WriteLoader("fl.s19", kLoaderBase, 3000);
        job.UseIdlePort(1);
    }
    JobResult Run(const std::string& options, const JobSetup& setup = {}) {
        return job.RunJob("/platform=P1 /com=1 /debug=1 " + options, setup);
    }
    // The failure is reported with its name, and COM1 was opened and closed
    // again once (or never opened, when the failure comes first).
    static void ExpectFailure(const JobResult& result, uint32_t code, const char* name, bool portOpened = true) {
        EXPECT_EQ(result.code, code) << result.Transcript();
        EXPECT_TRUE(result.host->HasMessage(std::string("Sorry, an error has occured ! (") + name + ")"));
        const size_t times = portOpened ? 1 : 0;
        EXPECT_EQ(result.host->CountMessages("Opened COM1 at 115200 baud"), times) << result.Transcript();
        EXPECT_EQ(result.host->CountMessages("Closed COM1"), times) << "every port opened is closed again";
    }

    JobFixture job;
};

TEST_F(PrepareJob, MissingPlatformSectionFailsBeforeAnyPortOpens) {
    const JobResult result = job.RunJob("/platform=P9 /com=1 /debug=1");
    ExpectFailure(result, ERR_BAD_PLATFORM, "ERR_BAD_PLATFORM", false);
}

TEST_F(PrepareJob, MissingSetupLoaderFileFailsWithItsOwnCode) {
    job.AddPlatform(PassiveWithSetupLoader("P2", "sl.s19", 0x30000000, "fl.s19", kLoaderBase));
    const JobResult result = job.RunJob("/platform=P2 /com=1 /debug=1");
    ExpectFailure(result, ERR_WRONG_FILE_SL, "ERR_WRONG_FILE_SL");
    EXPECT_TRUE(result.host->HasMessage("Error: Unable to open file \"" + job.Path("sl.s19") + "\"",
                                        FLASH_LEVEL_WARNING));
    EXPECT_EQ(result.host->CountMessages("Error code: ERR_WRONG_FILE_SL"), 1u);
}

TEST_F(PrepareJob, MissingFlashLoaderFileFailsWithItsOwnCode) {
    job.AddPlatform(PassivePlatform("P2", "gone.s19", kLoaderBase));
    const JobResult result = job.RunJob("/platform=P2 /com=1 /debug=1");
    ExpectFailure(result, ERR_WRONG_FILE_FL, "ERR_WRONG_FILE_FL");
    EXPECT_TRUE(result.host->HasMessage("Error: Unable to open file \"" + job.Path("gone.s19") + "\""));
}

TEST_F(PrepareJob, MissingImageFailsAfterTheLoadersWereRead) {
    const JobResult result = Run("/mode=flash /file=" + job.Path("image.s19"));
    ExpectFailure(result, ERR_WRONG_FILE_LOAD, "ERR_WRONG_FILE_LOAD");
    EXPECT_TRUE(result.host->HasMessage("Error: Unable to open file \"" + job.Path("image.s19") + "\""));
    EXPECT_TRUE(result.host->HasMessage("File: " + job.Path("fl.s19")));
}

TEST_F(PrepareJob, BadImageFailsWithTheReadersCodeAndNothingRecorded) {
    job.Home().Write("image.s19", "S00600004844521B\nnot a record\n");
    const JobResult result = Run("/mode=verify /file=" + job.Path("image.s19"));
    ExpectFailure(result, ERR_BAD_SREC_FILE, "ERR_BAD_SREC_FILE");
    EXPECT_EQ(result.host->CountMessages("Error code: ERR_BAD_SREC_FILE"), 1u);
    EXPECT_FALSE(result.host->HasMessage("Power on mobile !"));
}

TEST_F(PrepareJob, ReadJobWithoutRangesFailsBeforeTheBootLoaderPhase) {
    const JobResult result = Run("/mode=read /phases=bl /savefile=" + job.Path("out.s19"));
    ExpectFailure(result, ERR_WRONG_READLENGTH, "ERR_WRONG_READLENGTH");
    EXPECT_TRUE(result.host->HasMessage("No memory region to be read defined", FLASH_LEVEL_WARNING));
    EXPECT_FALSE(result.host->HasMessage("Power on mobile !"));
}

TEST_F(PrepareJob, ReadJobWithoutSaveFileFails) {
    const JobResult result = Run("/mode=read /read=0x0-0xFF");
    ExpectFailure(result, ERR_WRONG_FILE_SAVE, "ERR_WRONG_FILE_SAVE");
    EXPECT_TRUE(result.host->HasMessage("SaveFile not specified!", FLASH_LEVEL_WARNING));
}

TEST_F(PrepareJob, PortThatCannotBeOpenedFailsWithComError) {
    job.SetComDevice(7, job.Path("no-such-device"));
    const JobResult result = job.RunJob("/platform=P1 /com=1,7 /debug=1");
    ExpectFailure(result, ERR_COM, "ERR_COM");
    EXPECT_EQ(result.host->CountMessages("Error code: ERR_COM"), 1u);
}

TEST_F(PrepareJob, ProbedSpeedsAreReportedPerPort) {
    job.AddPlatform(PassivePlatform("P2", "gone.s19", kLoaderBase));
    const JobResult result = job.RunJob("/platform=P2 /com=1");
    EXPECT_TRUE(result.host->HasMessage("PC transfer speeds (COM1): 57600 115200 230400 460800 921600",
                                        FLASH_LEVEL_INFO))
        << result.Transcript();
}

// The boot ROM never answers, so the job ends only by the host's abort;
// what matters is what happened before it.
TEST_F(PrepareJob, BootLoaderPhaseAloneDoesNotReadTheImage) {
    JobSetup setup;
    setup.adjustHost = [](RecordingHost& host) { host.abortAfterPolls = 1; };
    const JobResult result = Run("/mode=flash /phases=bl /file=" + job.Path("image.s19"), setup);
    ExpectFailure(result, ERR_ABORT, "ERR_ABORT");
    EXPECT_FALSE(result.host->HasMessage("Error: Unable to open file \"" + job.Path("image.s19") + "\""));
    EXPECT_TRUE(result.host->HasMessage("Power on mobile !"));
}

TEST_F(PrepareJob, FlashLoaderPhaseAloneReadsNoLoaderFile) {
    job.AddPlatform(PassivePlatform("P2", "gone.s19", kLoaderBase));
    const JobResult result = job.RunJob("/platform=P2 /com=1 /debug=1 /phases=fl /mode=flash /file=" + job.Path("image.s19"));
    ExpectFailure(result, ERR_WRONG_FILE_LOAD, "ERR_WRONG_FILE_LOAD");
    EXPECT_FALSE(result.host->HasMessage("Error: Unable to open file \"" + job.Path("gone.s19") + "\""));
}

// PrepareLoad on a bare session: its range handling comes before anything
// is read, so a session without a platform shows it.
class PrepareSession : public ::testing::Test {
protected:
    void SetUp() override {
        host.InstallCallbacks();
        session = std::make_unique<Session>();
        session->host = &host.descriptor;
        session->options.debug = 1;
        std::snprintf(session->platformDefPath, sizeof session->platformDefPath, "/nonexistent/platform.def");
        std::snprintf(session->options.platform, sizeof session->options.platform, "P1");
        session->options.com[0] = 0;
        session->options.com[1] = FLASH_NO_PORT;
        session->portCount = 1;
    }
    void Reserve(std::initializer_list<FlashRange> ranges) {
        session->options.reservedcount = 0;
        for (const FlashRange& range : ranges) session->options.reserved[session->options.reservedcount++] = range;
    }

    RecordingHost host;
    std::unique_ptr<Session> session;
};

TEST_F(PrepareSession, ReservedRangesAreMergedInGivenOrderThenSorted) {
    Reserve({{0x3000, 0x3FFF}, {0x1000, 0x1FFF}, {0x2000, 0x2FFF}});
    session->options.readcount = 2;
    session->options.read[0] = {0x500, 0x5FF};
    session->options.read[1] = {0x100, 0x1FF};
    EXPECT_EQ(PrepareLoad(session.get()), ERR_BAD_PLATFORM);
    ASSERT_EQ(session->options.reservedcount, 2u);
    EXPECT_EQ(session->options.reserved[0].first, 0x1000u);
    EXPECT_EQ(session->options.reserved[0].last, 0x2FFFu);
    EXPECT_EQ(session->options.reserved[1].first, 0x3000u);
    EXPECT_EQ(session->options.reserved[1].last, 0x3FFFu);
    EXPECT_EQ(session->options.read[0].first, 0x100u);
    EXPECT_EQ(session->run.recordedError, static_cast<uint32_t>(ERR_BAD_PLATFORM));
}

TEST_F(PrepareSession, OverlappingRangesAreRefusedExceptReservedOnesOfAVerify) {
    Reserve({{0x1000, 0x1FFF}, {0x1800, 0x27FF}});
    EXPECT_EQ(PrepareLoad(session.get()), ERR_RANGES_OVERLAP);
    EXPECT_EQ(session->run.recordedError, static_cast<uint32_t>(ERR_UNKNOWN)) << "not recorded";

    session->options.mode = FLASH_MODE_VERIFY;
    EXPECT_EQ(PrepareLoad(session.get()), ERR_BAD_PLATFORM);

    session->options.readcount = 2;
    session->options.read[0] = {0x100, 0x1FF};
    session->options.read[1] = {0x1FF, 0x2FF};
    EXPECT_EQ(PrepareLoad(session.get()), ERR_RANGES_OVERLAP);
}

TEST_F(PrepareSession, PriorityStackRestoresEveryLevelAndNeverUnderflows) {
    os::ThreadSetPriority(os::kPriorityNormal);
    constexpr int kPushes = 12;  // two more than the stack holds
    for (int i = 1; i <= kPushes; ++i) {
        PushThreadPriority(session.get(), i);
    }
    for (int i = kPushes; i >= 1; --i) {
        const int inside = i <= static_cast<int>(kPriorityStackDepth) ? i : static_cast<int>(kPriorityStackDepth);
        EXPECT_EQ(os::ThreadGetPriority(), inside) << "level " << i;
        PopThreadPriority(session.get());
    }
    EXPECT_EQ(os::ThreadGetPriority(), os::kPriorityNormal);
    PopThreadPriority(session.get());  // one pop too many
    EXPECT_EQ(session->priorities.depth, 0u);
    EXPECT_EQ(os::ThreadGetPriority(), os::kPriorityNormal);
    PushThreadPriority(session.get(), os::kPriorityHighest);
    EXPECT_EQ(os::ThreadGetPriority(), os::kPriorityHighest);
    PopThreadPriority(session.get());
    EXPECT_EQ(os::ThreadGetPriority(), os::kPriorityNormal);
}

}  // namespace
