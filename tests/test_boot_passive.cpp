// The passive boot loader and setup loader dialogues in whole
// boot-loader-phase jobs against the stand-in handset: what reaches its RAM,
// what is logged, and the faults.
#include <gtest/gtest.h>

#include <thread>

#include "flashdll/boot/boot_loader.h"
#include "support/job_fixture.h"
#include "support/pty_peer.h"

namespace {

using namespace testing_support;

constexpr uint32_t kSetupLoaderBase = 0x20000;
constexpr uint32_t kFlashLoaderBase = 0x20000000;

struct PassiveJob {
    JobFixture job;
    std::vector<ImageChunk> flashLoader = {{kFlashLoaderBase, RandomBytes(10000, 1)},
                                           {kFlashLoaderBase + 0x8000, RandomBytes(256, 2)}};
    LoaderFile setupLoader;
    JobResult result;

    // A /phases=bl job; `setupLoaderPlatform` adds a setup loader to the
    // platform (memory interface type `mit`).
    PassiveJob(const handsetsim::Scenario& scenario, bool setupLoaderPlatform = false, uint32_t mit = 0,
               const std::string& platformExtra = "", const JobSetup& setup = {}) {
        PlatformSection platform = PassivePlatform("P1", "fl.s19", kFlashLoaderBase);
        if (setupLoaderPlatform) {
            platform = mit == 1 ? Mit1Platform("P1", "sl.s19", kSetupLoaderBase, "fl.s19", kFlashLoaderBase)
                                      .WithFlash({FlashDefinitionMit1(0, 64)})
                                : PassiveWithSetupLoader("P1", "sl.s19", kSetupLoaderBase, "fl.s19",
                                                         kFlashLoaderBase);
        }
        if (!platformExtra.empty()) {
            platform.Set(platformExtra, "1");
        }
        job.AddPlatform(platform);
        job.WriteImage("fl.s19", flashLoader);
        setupLoader = job.WriteLoader("sl.s19", kSetupLoaderBase, 3000, 3);
        job.StartHandset(scenario, {1});
        result = job.RunJob("/platform=P1 /com=1 /phases=bl /debug=1", setup);
    }
    bool Has(const std::string& text) const { return result.host->HasMessage(text); }
    bool FlashLoaderIn(const std::string& stage) {
        for (const ImageChunk& chunk : flashLoader) {
            if (job.Handset()->Ram(stage, chunk.address, static_cast<uint32_t>(chunk.bytes.size())) != chunk.bytes) {
                return false;
            }
        }
        return true;
    }
    std::vector<std::string> Lines(const std::string& prefix) const {
        std::vector<std::string> lines;
        for (const std::string& text : result.host->Messages()) {
            if (text.rfind(prefix, 0) == 0) {
                lines.push_back(text);
            }
        }
        return lines;
    }
    std::vector<std::string> ProgressTitles() const {
        std::vector<std::string> titles;
        for (const HostEvent& event : result.host->Events()) {
            if (event.kind == HostEventKind::ProgressBegin && event.text.rfind("Loading ", 0) == 0 &&
                event.text.find("S-Record") == std::string::npos) {
                titles.push_back(event.text);
            }
        }
        return titles;
    }
};

TEST(PassiveBootLoader, LoadsTheFlashLoaderRegionByRegionInChunks) {
    PassiveJob p{handsetsim::Scenario{}};
    ASSERT_EQ(p.result.code, SUCCESS) << p.result.Transcript();
    EXPECT_TRUE(p.FlashLoaderIn("boot"));
    for (const char* line : {"Bootloader V2.0 using UART0", "ROM mask ID: 0x4142000a (AB  )",
                             "ID register: 0x00000000 (Corvane I)", "Bootloader type: 2 (0)",
                             "Max. transfer size: 4352 bytes", "Adjusted max. transfer size to: 4096 bytes",
                             "Data to transfer: 10256 bytes in 2 region(s)"}) {
        EXPECT_TRUE(p.Has(line)) << line << "\n" << p.result.Transcript();
    }
    EXPECT_EQ(p.Lines("Send: "), (std::vector<std::string>{"Send: 0x20000000 - 0x20000fff (=4096)",
                                                           "Send: 0x20001000 - 0x20001fff (=4096)",
                                                           "Send: 0x20002000 - 0x2000270f (=1808)",
                                                           "Send: 0x20008000 - 0x200080ff (=256)"}));
    EXPECT_EQ(p.ProgressTitles(), (std::vector<std::string>{"Loading flash loader (1/2) ...",
                                                            "Loading flash loader (2/2) ..."}));
    EXPECT_FALSE(p.Has("Talking to setup loader"));
}

TEST(PassiveBootLoader, SetupLoaderReceivesTheFlashLoader) {
    handsetsim::Scenario scenario;
    scenario.bootRom = handsetsim::BootRom::PassiveWithSetupLoader;
    scenario.blType = 6;
    scenario.hasIdRegister = false;
    PassiveJob p(scenario, true, 1);
    ASSERT_EQ(p.result.code, SUCCESS) << p.result.Transcript();
    EXPECT_TRUE(p.job.RamHolds("boot", p.setupLoader));
    EXPECT_TRUE(p.FlashLoaderIn("setup"));
    for (const char* line : {"ID register: not reported", "Talking to setup loader",
                             "Setup loader V1.0 using UART0", "Setup loader type: 1"}) {
        EXPECT_TRUE(p.Has(line)) << line << "\n" << p.result.Transcript();
    }
    EXPECT_EQ(p.ProgressTitles(), (std::vector<std::string>{"Loading setup loader (1/1) ...",
                                                            "Loading RAM (1/2) ...", "Loading RAM (2/2) ..."}));
}

TEST(PassiveBootLoader, IgnoredSetupLoaderSendsTheFlashLoaderDirectly) {
    handsetsim::Scenario scenario;
    scenario.blType = 5;  // a boot loader that asks for the setup loader
    PassiveJob p(scenario, true, 0, "SetupLoaderIgnore");
    ASSERT_EQ(p.result.code, SUCCESS) << p.result.Transcript();
    EXPECT_TRUE(p.FlashLoaderIn("boot"));
    EXPECT_FALSE(p.Has("Talking to setup loader"));
}

TEST(PassiveBootLoader, UnknownOldOrUnusableLoadersAreRefused) {
    const char* unknown = "Unknown HW platform or corrupted bootloader signature";
    struct Case {
        uint32_t mit, blMajor, blMinor, blType, blMaxTransfer, slMaxTransfer, code;
        const char* log;
    } cases[] = {
        {0, 1, 9, 2, 4352, 4352, ERR_UNKOWN_HW, unknown},  // too old
        {0, 2, 0, 9, 4352, 4352, ERR_UNKOWN_HW, unknown},
        {1, 2, 0, 2, 4352, 4352, ERR_UNKOWN_HW, unknown},  // type of the other interface
        {0, 2, 0, 2, 4353, 4352, ERR_UNKOWN_HW, unknown},
        {0, 2, 0, 2, 256, 4352, ERR_UNKOWN_HW, unknown},   // chunks of 0 bytes
        {0, 2, 0, 5, 4352, 256, ERR_PROTOCOL, "Setup loader: unusable max. transfer size: 256 bytes"},
        {0, 2, 0, 5, 4352, 16765, ERR_PROTOCOL, "Setup loader: unusable max. transfer size: 16765 bytes"},
    };
    for (const Case& c : cases) {
        handsetsim::Scenario scenario;
        const bool setup = c.blType == 5 || c.mit == 1;
        scenario.bootRom = setup ? handsetsim::BootRom::PassiveWithSetupLoader : handsetsim::BootRom::Passive;
        scenario.blMajor = c.blMajor;
        scenario.blMinor = c.blMinor;
        scenario.blType = c.blType;
        scenario.blMaxTransfer = c.blMaxTransfer;
        scenario.slMaxTransfer = c.slMaxTransfer;
        PassiveJob p(scenario, setup, c.mit);
        EXPECT_EQ(p.result.code, c.code) << c.log;
        EXPECT_TRUE(p.Has(c.log)) << p.result.Transcript();
        const std::string refused = c.code == ERR_PROTOCOL ? "setup" : "boot";
        for (const handsetsim::RamWrite& write : p.job.Handset()->RamWrites()) {
            EXPECT_NE(write.stage, refused) << "data sent to a refused loader";
        }
    }
}

TEST(PassiveBootLoader, RefusedChunksShrinkTheChunkLimit) {
    handsetsim::Scenario scenario;
    scenario.faults.passiveNackDataNth = 2;
    scenario.faults.passiveNackDataCount = 3;
    PassiveJob p(scenario);
    ASSERT_EQ(p.result.code, SUCCESS) << p.result.Transcript();
    EXPECT_TRUE(p.FlashLoaderIn("boot"));
    EXPECT_EQ(p.Lines("Send: "), (std::vector<std::string>{"Send: 0x20000000 - 0x20000fff (=4096)",
                                                           "Send: 0x20001000 - 0x20001fff (=4096)",
                                                           "Send: 0x20001000 - 0x20001f7f (=3968)",
                                                           "Send: 0x20001000 - 0x20001eff (=3840)",
                                                           "Send: 0x20001000 - 0x20001e7f (=3712)",
                                                           "Send: 0x20001e80 - 0x2000270f (=2192)",
                                                           "Send: 0x20008000 - 0x200080ff (=256)"}));
    EXPECT_EQ(p.result.host->CountMessages("sync'ed"), 3u);

    scenario.faults.passiveNackDataCount = 10;
    PassiveJob failed(scenario);
    EXPECT_EQ(failed.result.code, ERR_TOO_MANY_RETRIES);
    EXPECT_TRUE(failed.Has("Too many retries for PC_DATA")) << failed.result.Transcript();
}

TEST(PassiveBootLoader, AbortDuringThePingLoopEndsTheJob) {
    handsetsim::Scenario scenario;
    scenario.faults.bootSilent = true;
    JobSetup abort;
    abort.adjustHost = [](RecordingHost& host) { host.abortAfterPolls = 1; };
    PassiveJob p(scenario, false, 0, "", abort);
    EXPECT_EQ(p.result.code, ERR_ABORT) << p.result.Transcript();
    EXPECT_TRUE(p.Has("Sorry, an error has occured ! (ERR_ABORT)"));
}

// A loader that never answers the pings: the port leaves polling mode and the
// thread its raised priorities when the host aborts.
TEST(PassiveBootLoader, AbortRestoresThePortAndThePriorities) {
    PtyPeer peer;
    std::string error;
    ASSERT_TRUE(peer.Open(1000, &error)) << error;
    Session* session = peer.session();
    std::thread aborter([session] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        session->run.abortFlag.store(1);
    });
    EXPECT_EQ(TalkToBootLoader(session), ERR_ABORT);
    aborter.join();
    EXPECT_EQ(session->ports[0].pollingActive, 0);
    EXPECT_EQ(session->priorities.depth, 0u);
    EXPECT_EQ(peer.Take(3, 50), "???");
}

}  // namespace
