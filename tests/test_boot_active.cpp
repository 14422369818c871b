// The active boot loader dialogue in whole boot-loader-phase jobs against the
// stand-in handset, and the block count it rests on.
#include <gtest/gtest.h>

#include "flashdll/boot/boot_internal.h"
#include "flashdll/image/image_buffer.h"
#include "support/job_fixture.h"

namespace {

using namespace testing_support;

TEST(RamBlockCount, NeverReachesPastTheFlashLoaderArea) {
    std::vector<uint8_t> data(kFlashLoaderAreaSize);
    ImageBuffer image = {};
    image.areaCount = image.regionCount = 1;
    image.areas[0] = {0x100000, 0x1FFFFF, data.data()};
    image.regions[0] = {0x100000, 0x2FFFFF};
    EXPECT_EQ(RamBlockCount(&image), 256u);
}

struct ActiveJob {
    JobFixture job;
    LoaderFile loader;
    JobResult result;

    // A /phases=bl job on an active platform whose flash loader lies at `base`:
    // 16,385 bytes, so that its last byte starts a fifth block.
    explicit ActiveJob(const handsetsim::Faults& faults, const std::string& options = "", uint32_t base = 0,
                       const JobSetup& setup = {}) {
        job.AddPlatform(ActivePlatform("A1", "fl.s19").Set("FlashLoaderBaseAddr", std::to_string(base)));
        loader = job.WriteLoader("fl.s19", base, 16385);
        handsetsim::Scenario scenario;
        scenario.bootRom = handsetsim::BootRom::Active;
        scenario.faults = faults;
        job.StartHandset(scenario, {1});
        result = job.RunJob("/platform=A1 /com=1 /phases=bl /debug=1" + options, setup);
    }
    bool Has(const std::string& text) const { return result.host->HasMessage(text); }
    size_t Count(const std::string& text) const { return result.host->CountMessages(text); }
    // The handset keeps block k at k * 4096, whatever the loader's base.
    bool RamHoldsLoader() { return job.Handset()->Ram("boot", 0, uint32_t(loader.bytes.size())) == loader.bytes; }
};

TEST(ActiveBootLoader, LoadsTheFlashLoaderFromItsFirstByteWhereverItIsBased) {
    for (const uint32_t base : {0u, 0x100000u}) {
        ActiveJob a({}, "", base);
        ASSERT_EQ(a.result.code, SUCCESS) << a.result.Transcript();
        EXPECT_TRUE(a.RamHoldsLoader()) << std::hex << base;
        EXPECT_TRUE(a.Has("Loading Ram, 5 blocks to transfer = 20 KB (20480 Bytes)")) << a.result.Transcript();
        EXPECT_TRUE(a.Has("TalkToBootLoader (using COM1)"));
    }
}

TEST(ActiveBootLoader, BadEchoesAndChecksumVerdictsAreRetried) {
    handsetsim::Faults faults;
    faults.activeWrongEchoBlock = 1;
    faults.activeWrongEchoCount = 4;
    ActiveJob recovered(faults);
    ASSERT_EQ(recovered.result.code, SUCCESS) << recovered.result.Transcript();
    EXPECT_EQ(recovered.Count("Send Block No failed!"), 4u);
    EXPECT_TRUE(recovered.RamHoldsLoader());

    // Block 0 fails its checksum once and then goes through; block 1 never
    // echoes right. The checksum error stays recorded beside the final result.
    faults.activeWrongEchoCount = 5;
    faults.activeVerdict = 'T';
    faults.activeVerdictBlock = 0;
    faults.activeVerdictCount = 1;
    ActiveJob failed(faults);
    EXPECT_EQ(failed.result.code, ERR_TOO_MANY_RETRIES) << failed.result.Transcript();
    EXPECT_EQ(failed.Count("Send Block No failed!"), 5u);
    EXPECT_EQ(failed.Count("2 is not 1!"), 5u);
    for (const char* line : {"Checksum Error!", "RX: Got RSP_TX_CHK_FAIL"}) {
        EXPECT_TRUE(failed.Has(line)) << line << "\n" << failed.result.Transcript();
    }
    const int resultLine = failed.result.host->IndexOfMessage("Error code: ERR_TOO_MANY_RETRIES");
    EXPECT_TRUE(resultLine >= 0 && failed.result.host->IndexOfMessage("Error code: ERR_CRC") > resultLine);
}

TEST(ActiveBootLoader, AWrongOrMissingRateAckEndsTheDialogue) {
    handsetsim::Faults faults;
    faults.activeByteAfterZ = 'Q';
    ActiveJob wrong(faults);
    EXPECT_EQ(wrong.result.code, ERR_PROTOCOL);
    EXPECT_TRUE(wrong.Has("Protocol Error: Expected RATE_ACK_2 (0x45), received 0x51")) << wrong.result.Transcript();

    faults = handsetsim::Faults{};
    faults.activeNoZ = true;
    ActiveJob unattended(faults, " /unattended=1");
    EXPECT_EQ(unattended.result.code, ERR_PROTOCOL) << unattended.result.Transcript();
    EXPECT_TRUE(unattended.Has("Mobile didn't respond in time"));
    const std::vector<std::string> status = unattended.result.host->StatusTexts();
    EXPECT_NE(std::find(status.begin(), status.end(), "Mobile didn't respond in time"), status.end());

    JobSetup abortLater;
    // About three seconds: far more than 100 reads of the handset's announcements.
    abortLater.adjustHost = [](RecordingHost& host) { host.abortAfterPolls = 4; };
    ActiveJob aborted(faults, "", 0, abortLater);
    EXPECT_EQ(aborted.result.code, ERR_ABORT) << aborted.result.Transcript();
    EXPECT_TRUE(aborted.Has("Waiting for the mobile's response ..."));
    EXPECT_TRUE(aborted.Has("Sorry, an error has occured ! (ERR_ABORT)"));
    EXPECT_FALSE(aborted.Has("Mobile didn't respond in time"));
}

}  // namespace
