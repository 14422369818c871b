// The active boot loader dialogue against the stand-in handset: the
// handshake, the numbered RAM blocks and their faults.
#include <gtest/gtest.h>

#include "flashdll/boot/boot_internal.h"
#include "flashdll/boot/boot_loader.h"
#include "support/handset_session.h"

namespace {

using testing_support::FillImage;
using testing_support::HandsetSession;
using testing_support::LoaderRegion;
using testing_support::PatternBytes;

class ActiveBootTest : public ::testing::Test {
protected:
    // Starts an active handset; the port's read time-out is short so that
    // waits counted in reads end quickly.
    void Start(const handsetsim::Faults& faults = {}, uint32_t readTimeoutMs = 100) {
        handsetsim::Scenario scenario;
        scenario.bootRom = handsetsim::BootRom::Active;
        scenario.faults = faults;
        std::string error;
        hs_ = std::make_unique<HandsetSession>();
        ASSERT_TRUE(hs_->Start(scenario, readTimeoutMs, &error)) << error;
        session_ = hs_->session();
        session_->platform.bootLoaderType = kBootLoaderActive;
        SetLoader(0, 10000);
    }
    void SetLoader(uint32_t base, size_t size) {
        loader_ = PatternBytes(size, 7);
        hs_->SetImage(&session_->flashLoaderImage, base, kFlashLoaderAreaSize, {{base, loader_}});
    }
    uint32_t Run() {
        const uint32_t result = TalkToBootLoader(session_);
        transcript_ = hs_->host().Transcript();
        return result;
    }
    bool HasMessage(const std::string& text) { return hs_->host().HasMessage(text); }

    std::unique_ptr<HandsetSession> hs_;
    Session* session_ = nullptr;
    std::vector<uint8_t> loader_;
    std::string transcript_;
};

TEST_F(ActiveBootTest, LoadsTheFlashLoaderBlockByBlock) {
    Start();
    ASSERT_EQ(Run(), SUCCESS) << transcript_;
    EXPECT_EQ(hs_->handset().Ram("boot", 0, 10000), loader_);
    EXPECT_TRUE(HasMessage("Loading Ram, 3 blocks to transfer = 12 KB (12288 Bytes)")) << transcript_;
    EXPECT_EQ(hs_->LinesStartingWith("TX: data[").size(), 3u) << transcript_;
    // The port's earlier read time-out is back after the transfer.
    EXPECT_EQ(session_->ports[0].readTimeoutMs, 100u);
}

TEST(RamBlockCount, CoversTheLoaderAndStaysInsideItsArea) {
    std::vector<uint8_t> storage;
    ImageBuffer image = {};
    FillImage(&image, &storage, 0, kFlashLoaderAreaSize, {{0, PatternBytes(0x4000, 1)}});
    EXPECT_EQ(RamBlockCount(&image), 4u);
    image.regions[0].last = 0x4000;
    EXPECT_EQ(RamBlockCount(&image), 5u);
    // A loader based above 0 is counted from its own first byte ...
    FillImage(&image, &storage, 0x100000, kFlashLoaderAreaSize, {{0x100800, PatternBytes(0x800, 2)}});
    EXPECT_EQ(RamBlockCount(&image), 1u);
    // ... and never past its 1 MiB area.
    image.regions[0].last = 0x2FFFFF;
    EXPECT_EQ(RamBlockCount(&image), 256u);
    image.regionCount = 0;
    EXPECT_EQ(RamBlockCount(&image), 0u);
}

TEST_F(ActiveBootTest, LoaderBasedAboveZeroGoesOutFromItsFirstByte) {
    Start();
    SetLoader(0x100000, 5000);
    ASSERT_EQ(Run(), SUCCESS) << transcript_;
    EXPECT_TRUE(HasMessage("Loading Ram, 2 blocks to transfer = 8 KB (8192 Bytes)")) << transcript_;
    EXPECT_EQ(hs_->handset().Ram("boot", 0, 5000), loader_);
}

TEST_F(ActiveBootTest, BadEchoesAreRetriedUpToFiveTimes) {
    handsetsim::Faults faults;
    faults.activeWrongEchoBlock = 1;
    faults.activeWrongEchoCount = 4;
    Start(faults);
    ASSERT_EQ(Run(), SUCCESS) << transcript_;
    EXPECT_EQ(hs_->host().CountMessages("Send Block No failed!"), 4u);
    EXPECT_EQ(hs_->handset().Ram("boot", 0, 10000), loader_);

    faults.activeWrongEchoCount = 5;
    Start(faults);
    EXPECT_EQ(Run(), ERR_TOO_MANY_RETRIES) << transcript_;
    EXPECT_EQ(hs_->host().CountMessages("Send Block No failed!"), 5u);
    EXPECT_EQ(hs_->LinesStartingWith("Wrong block number acknowledged").size(), 5u) << transcript_;
}

TEST_F(ActiveBootTest, ChecksumVerdictIsRecordedBesideALaterSuccess) {
    handsetsim::Faults faults;
    faults.activeVerdict = 'T';
    faults.activeVerdictBlock = 0;
    faults.activeVerdictCount = 1;
    Start(faults);
    ASSERT_EQ(Run(), SUCCESS) << transcript_;
    EXPECT_TRUE(HasMessage("Checksum Error!"));
    EXPECT_TRUE(HasMessage("RX: Got RSP_TX_CHK_FAIL"));
    EXPECT_EQ(session_->run.recordedError, static_cast<uint32_t>(ERR_CRC));
    EXPECT_EQ(hs_->handset().Ram("boot", 0, 10000), loader_);
}

TEST_F(ActiveBootTest, WrongByteAfterRateAckIsAProtocolError) {
    handsetsim::Faults faults;
    faults.activeByteAfterZ = 'Q';
    Start(faults);
    EXPECT_EQ(Run(), ERR_PROTOCOL);
    EXPECT_TRUE(HasMessage("Protocol Error: Expected RATE_ACK_2 (0x45), received 0x51")) << transcript_;
    EXPECT_EQ(session_->run.recordedError, static_cast<uint32_t>(ERR_PROTOCOL));
}

TEST_F(ActiveBootTest, MissingRateAckEndsByAbortOrUnattendedLimit) {
    handsetsim::Faults faults;
    faults.activeNoZ = true;
    Start(faults, 10);
    session_->options.unattended = 1;
    EXPECT_EQ(Run(), ERR_PROTOCOL);
    EXPECT_TRUE(HasMessage("Mobile didn't respond in time")) << transcript_;
    const std::vector<std::string> status = hs_->host().StatusTexts();
    ASSERT_FALSE(status.empty());
    EXPECT_EQ(status.back(), "Mobile didn't respond in time");

    Start(faults, 10);
    hs_->AbortAfter(1500);  // well past 100 reads of 10 ms: without unattended the wait goes on
    EXPECT_EQ(Run(), ERR_ABORT);
    EXPECT_FALSE(HasMessage("Mobile didn't respond in time")) << transcript_;
}

}  // namespace
