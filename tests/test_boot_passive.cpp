// The passive boot loader and setup loader dialogues against the stand-in
// handset: what reaches its RAM, what is logged, and the faults.
#include <gtest/gtest.h>

#include "flashdll/boot/boot_loader.h"
#include "support/handset_session.h"

namespace {

using testing_support::HandsetSession;
using testing_support::LoaderRegion;
using testing_support::PatternBytes;

constexpr uint32_t kSetupLoaderBase = 0x20000;

class PassiveBootTest : public ::testing::Test {
protected:
    void Start(const handsetsim::Scenario& scenario) {
        std::string error;
        hs_ = std::make_unique<HandsetSession>();
        ASSERT_TRUE(hs_->Start(scenario, 1000, &error)) << error;
        session_ = hs_->session();
        session_->platform.bootLoaderType = kBootLoaderPassive;
        session_->platform.memoryInterfaceType = 0;
        flashLoader_ = {{0, PatternBytes(10000, 1)}, {0x8000, PatternBytes(256, 2)}};
        setupLoader_ = {{kSetupLoaderBase, PatternBytes(3000, 3)}};
        hs_->SetImage(&session_->flashLoaderImage, 0, kFlashLoaderAreaSize, flashLoader_);
        hs_->SetImage(&session_->setupLoaderImage, kSetupLoaderBase, kSetupLoaderAreaSize, setupLoader_);
        session_->platform.setupLoaderBase = kSetupLoaderBase;
    }
    uint32_t Run() {
        const uint32_t result = TalkToBootLoader(session_);
        transcript_ = hs_->host().Transcript();
        return result;
    }
    void ExpectInRam(const std::string& stage, const std::vector<LoaderRegion>& regions) {
        for (const LoaderRegion& region : regions) {
            EXPECT_EQ(hs_->handset().Ram(stage, region.address, region.bytes.size()), region.bytes)
                << stage << " 0x" << std::hex << region.address;
        }
    }
    std::vector<std::string> ProgressTitles() {
        std::vector<std::string> titles;
        for (const auto& event : hs_->host().Events()) {
            if (event.kind == testing_support::HostEventKind::ProgressBegin) {
                titles.push_back(event.text);
            }
        }
        return titles;
    }
    // The lengths of the "data" chunks in the order they were sent.
    std::vector<std::string> SendLines() { return hs_->LinesStartingWith("Send: "); }
    bool Logged(const std::string& text) { return hs_->host().HasMessage(text); }

    std::unique_ptr<HandsetSession> hs_;
    Session* session_ = nullptr;
    std::vector<LoaderRegion> flashLoader_, setupLoader_;
    std::string transcript_;
};

TEST_F(PassiveBootTest, LoadsTheFlashLoaderRegionByRegionInChunks) {
    Start(handsetsim::Scenario{});
    ASSERT_EQ(Run(), SUCCESS) << transcript_;
    ExpectInRam("boot", flashLoader_);
    for (const char* line : {"Bootloader V2.0 using UART0", "ROM mask ID: 0x4142000a (AB  )",
                             "ID register: 0x00000000 (Corvane I)", "Bootloader type: 2 (0)",
                             "Max. transfer size: 4352 bytes", "Adjusted max. transfer size to: 4096 bytes",
                             "Data to transfer: 10256 bytes in 2 region(s)"}) {
        EXPECT_TRUE(Logged(line)) << line << "\n" << transcript_;
    }
    EXPECT_EQ(SendLines(), (std::vector<std::string>{"Send: 0x00000000 - 0x00000fff (=4096)",
                                                     "Send: 0x00001000 - 0x00001fff (=4096)",
                                                     "Send: 0x00002000 - 0x0000270f (=1808)",
                                                     "Send: 0x00008000 - 0x000080ff (=256)"}));
    EXPECT_EQ(ProgressTitles(), (std::vector<std::string>{"Loading flash loader (1/2) ...",
                                                          "Loading flash loader (2/2) ..."}));
    EXPECT_FALSE(Logged("Talking to setup loader"));
    // Out of polling mode, priorities restored, command time-out left in place.
    EXPECT_EQ(session_->ports[0].pollingActive, 0);
    EXPECT_EQ(session_->priorities.depth, 0u);
    EXPECT_EQ(session_->ports[0].readTimeoutMs, 250u);
}

TEST_F(PassiveBootTest, SetupLoaderReceivesTheFlashLoader) {
    handsetsim::Scenario scenario;
    scenario.bootRom = handsetsim::BootRom::PassiveWithSetupLoader;
    scenario.blType = 6;
    scenario.hasIdRegister = false;
    Start(scenario);
    session_->platform.memoryInterfaceType = 1;
    ASSERT_EQ(Run(), SUCCESS) << transcript_;
    ExpectInRam("boot", setupLoader_);
    ExpectInRam("setup", flashLoader_);
    EXPECT_TRUE(Logged("ID register: not reported")) << transcript_;
    EXPECT_TRUE(Logged("Setup loader V1.0 using UART0")) << transcript_;
    EXPECT_TRUE(Logged("Setup loader type: 1")) << transcript_;
    EXPECT_EQ(ProgressTitles(), (std::vector<std::string>{"Loading setup loader (1/1) ...",
                                                          "Loading RAM (1/2) ...", "Loading RAM (2/2) ..."}));
    EXPECT_EQ(session_->priorities.depth, 0u);
}

TEST_F(PassiveBootTest, IgnoredSetupLoaderSendsTheFlashLoaderDirectly) {
    handsetsim::Scenario scenario;
    scenario.blType = 5;
    Start(scenario);
    session_->platform.setupLoaderIgnored = 1;
    ASSERT_EQ(Run(), SUCCESS) << transcript_;
    ExpectInRam("boot", flashLoader_);
    EXPECT_FALSE(Logged("Talking to setup loader")) << transcript_;
}

TEST_F(PassiveBootTest, UnknownOldOrUnusableLoadersAreRefused) {
    struct Case {
        uint32_t blMinor, blMajor, blMaxTransfer, slMaxTransfer;
        uint32_t blType, code;
        const char* log;
    } cases[] = {
        {9, 1, 4352, 4352, 2, ERR_UNKOWN_HW, "Unknown HW platform or corrupted bootloader signature"},
        {0, 2, 4352, 4352, 9, ERR_UNKOWN_HW, "Unknown HW platform or corrupted bootloader signature"},
        {0, 2, 4353, 4352, 2, ERR_UNKOWN_HW, "Unknown HW platform or corrupted bootloader signature"},
        {0, 2, 256, 4352, 2, ERR_UNKOWN_HW, "Unknown HW platform or corrupted bootloader signature"},
        {0, 2, 4352, 256, 5, ERR_PROTOCOL, "Setup loader: unusable max. transfer size: 256 bytes"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.log);
        handsetsim::Scenario scenario;
        scenario.bootRom = c.blType == 5 ? handsetsim::BootRom::PassiveWithSetupLoader
                                         : handsetsim::BootRom::Passive;
        scenario.blMajor = c.blMajor;
        scenario.blMinor = c.blMinor;
        scenario.blType = c.blType;
        scenario.blMaxTransfer = c.blMaxTransfer;
        scenario.slMaxTransfer = c.slMaxTransfer;
        Start(scenario);
        EXPECT_EQ(Run(), c.code);
        EXPECT_TRUE(Logged(c.log)) << transcript_;
        // Nothing is sent to a loader that was refused.
        for (const auto& write : hs_->handset().RamWrites()) {
            EXPECT_NE(write.stage, c.blType == 5 ? "setup" : "boot");
        }
    }
}

TEST_F(PassiveBootTest, RefusedChunksShrinkTheChunkLimit) {
    handsetsim::Scenario scenario;
    scenario.faults.passiveNackDataNth = 2;
    scenario.faults.passiveNackDataCount = 3;
    Start(scenario);
    ASSERT_EQ(Run(), SUCCESS) << transcript_;
    ExpectInRam("boot", flashLoader_);
    EXPECT_EQ(SendLines(), (std::vector<std::string>{"Send: 0x00000000 - 0x00000fff (=4096)",
                                                     "Send: 0x00001000 - 0x00001fff (=4096)",
                                                     "Send: 0x00001000 - 0x00001f7f (=3968)",
                                                     "Send: 0x00001000 - 0x00001eff (=3840)",
                                                     "Send: 0x00001000 - 0x00001e7f (=3712)",
                                                     "Send: 0x00001e80 - 0x0000270f (=2192)",
                                                     "Send: 0x00008000 - 0x000080ff (=256)"}));
    EXPECT_EQ(hs_->host().CountMessages("sync'ed"), 3u);

    scenario.faults.passiveNackDataCount = 10;
    Start(scenario);
    EXPECT_EQ(Run(), ERR_TOO_MANY_RETRIES);
    EXPECT_TRUE(Logged("Too many retries for PC_DATA")) << transcript_;
}

TEST_F(PassiveBootTest, AbortDuringThePingLoopRestoresThePort) {
    handsetsim::Scenario scenario;
    scenario.faults.bootSilent = true;
    Start(scenario);
    hs_->AbortAfter(200);
    EXPECT_EQ(Run(), ERR_ABORT);
    EXPECT_EQ(session_->ports[0].pollingActive, 0);
    EXPECT_EQ(session_->priorities.depth, 0u);
}

}  // namespace
