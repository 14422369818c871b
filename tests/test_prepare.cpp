// Preparing a load: every failure with its code and message, ports closed on
// the way out, the speed probe, overlapping ranges and the priority stack.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "flashdll/os/thread.h"
#include "flashdll/job/prepare.h"
#include "flashdll/session/session.h"
#include "support/job_fixture.h"

namespace {

using namespace testing_support;

constexpr uint32_t kLoaderBase = 0x20000000;

// Platform P1 has its flash loader, P2 lacks its setup loader file, P3 its
// flash loader file; P4's flash loader and P5's setup loader hold no data.
// COM1 is a handset, COM7 no device. Overlapping ranges
// are refused before any port opens, except reserved ones of a verify.
TEST(PrepareJob, EachFailureHasItsCodeAndMessageAndLeavesNoPortOpen) {
    JobFixture job;
    job.AddPlatform(PassivePlatform("P1", "fl.s19", kLoaderBase));
    job.AddPlatform(PassiveWithSetupLoader("P2", "sl.s19", 0x30000000, "fl.s19", kLoaderBase));
    job.AddPlatform(PassivePlatform("P3", "gone.s19", kLoaderBase));
    job.AddPlatform(PassivePlatform("P4", "empty.s19", kLoaderBase));
    job.AddPlatform(PassiveWithSetupLoader("P5", "empty.s19", 0x30000000, "fl.s19", kLoaderBase));
    job.WriteLoader("fl.s19", kLoaderBase, 3000);
    job.Home().Write("bad.s19", "S00600004844521B\nnot a record\n");
    job.WriteImage("empty.s19", {});
    job.StartHandset(handsetsim::Scenario{}, {1});
    job.SetComDevice(7, job.Path("no-such-device"));
    auto unopened = [&job](const std::string& name) { return "Error: Unable to open file \"" + job.Path(name) + "\""; };
    const std::string image = " /file=" + job.Path("image.s19");
    auto overlapping = [](FlashLoadOptions& options) {  // the option parser refuses these already
        options.reservedcount = 2;
        options.reserved[0] = {0x1000, 0x1FFF};
        options.reserved[1] = {0x1800, 0x27FF};
    };
    const struct {  // messages posted (at `level` unless -1), one not posted
        std::string options, name;
        uint32_t code;
        std::vector<std::string> messages;
        int level;
        std::string absent;
        bool portOpened;
        std::function<void(FlashLoadOptions&)> adjust = nullptr;
    } cases[] = {
        {"/platform=P9", "ERR_BAD_PLATFORM", ERR_BAD_PLATFORM, {}, -1, "", false},
        {"/platform=P2", "ERR_WRONG_FILE_SL", ERR_WRONG_FILE_SL, {unopened("sl.s19")}, FLASH_LEVEL_WARNING, "", true},
        {"/platform=P4", "ERR_WRONG_FILE_FL", ERR_WRONG_FILE_FL,
         {"Error: The flash loader file \"" + job.Path("empty.s19") + "\" holds no data"}, FLASH_LEVEL_ERROR,
         "Power on mobile !", true},
        {"/platform=P5", "ERR_WRONG_FILE_SL", ERR_WRONG_FILE_SL,
         {"Error: The setup loader file \"" + job.Path("empty.s19") + "\" holds no data"}, FLASH_LEVEL_ERROR,
         "Power on mobile !", true},
        {"/platform=P3", "ERR_WRONG_FILE_FL", ERR_WRONG_FILE_FL,
         {unopened("gone.s19"), "PC transfer speeds (COM1): 57600 115200 230400 460800 921600"}, -1, "", true},
        {"/platform=P1 /mode=flash" + image, "ERR_WRONG_FILE_LOAD", ERR_WRONG_FILE_LOAD, {unopened("image.s19")},
         FLASH_LEVEL_WARNING, "", true},
        {"/platform=P3 /phases=fl /mode=flash" + image, "ERR_WRONG_FILE_LOAD", ERR_WRONG_FILE_LOAD,
         {unopened("image.s19")}, -1, unopened("gone.s19"), true},
        {"/platform=P1 /mode=verify /file=" + job.Path("bad.s19"), "ERR_BAD_SREC_FILE", ERR_BAD_SREC_FILE,
         {"File: " + job.Path("fl.s19")}, -1, "Power on mobile !", true},
        {"/platform=P1 /mode=read /phases=bl /savefile=" + job.Path("out.s19"), "ERR_WRONG_READLENGTH",
         ERR_WRONG_READLENGTH, {"No memory region to be read defined"}, FLASH_LEVEL_WARNING, "Power on mobile !", true},
        {"/platform=P1 /mode=read /read=0x0-0xFF", "ERR_WRONG_FILE_SAVE", ERR_WRONG_FILE_SAVE,
         {"SaveFile not specified!"}, FLASH_LEVEL_WARNING, "", true},
        {"/platform=P1 /com=1,7", "ERR_COM", ERR_COM, {}, -1, "", true},
        {"/platform=P1", "ERR_RANGES_OVERLAP", ERR_RANGES_OVERLAP, {}, -1, "", false, overlapping},
        {"/platform=P1 /mode=verify" + image, "ERR_WRONG_FILE_LOAD", ERR_WRONG_FILE_LOAD, {}, -1, "", true, overlapping},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.options);
        const std::string com = c.options.find("/com=") == std::string::npos ? " /com=1" : "";
        const JobResult result = job.RunJob(c.options + com + " /debug=1", {c.adjust, {}});
        EXPECT_EQ(result.code, c.code) << result.Transcript();
        EXPECT_TRUE(result.Has("Sorry, an error has occured ! (" + c.name + ")"));
        // The result is reported once: the recorded error, if any, is the same.
        EXPECT_EQ(result.host->CountMessages("Error code: " + c.name), 1u);
        for (const std::string& message : c.messages) EXPECT_TRUE(result.Has(message, c.level)) << message;
        EXPECT_TRUE(c.absent.empty() || !result.Has(c.absent)) << c.absent;
        EXPECT_EQ(result.host->CountMessages("Opened COM1 at 115200 baud"), c.portOpened ? 1u : 0u);
        EXPECT_EQ(result.host->CountMessages("Closed COM1"), c.portOpened ? 1u : 0u) << "every port opened is closed";
    }
}

TEST(PrepareSession, PriorityStackRestoresEveryLevelAndNeverOverflowsOrUnderflows) {
    auto session = std::make_unique<Session>();
    os::ThreadSetPriority(os::kPriorityNormal);
    constexpr int kPushes = 12;  // two more than the stack holds
    for (int i = 1; i <= kPushes; ++i) PushThreadPriority(session.get(), i);
    for (int i = kPushes; i >= 1; --i) {
        EXPECT_EQ(os::ThreadGetPriority(), std::min(i, static_cast<int>(kPriorityStackDepth))) << "level " << i;
        PopThreadPriority(session.get());
    }
    PopThreadPriority(session.get());  // one pop too many
    EXPECT_EQ(session->priorities.depth, 0u);
    EXPECT_EQ(os::ThreadGetPriority(), os::kPriorityNormal);
}

}  // namespace
