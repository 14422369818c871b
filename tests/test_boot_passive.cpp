// The passive boot loader and setup loader dialogues: faulty replies from a scripted loader,
// and whole boot-loader-phase jobs against the stand-in handset (RAM, log lines, faults).
#include <gtest/gtest.h>

#include "flashdll/boot/boot_loader.h"
#include "flashdll/link/fourcc.h"
#include "support/job_fixture.h"
#include "support/link_session.h"

namespace {

using namespace testing_support;
using Lines = std::vector<std::string>;

constexpr uint32_t kSetupLoaderBase = 0x20000;
constexpr uint32_t kFlashLoaderBase = 0x20000000;

// A "+ok+" reply of the boot loader carrying `data`.
Bytes OkReply(const char* command, const Bytes& data) {
    return Text("resp") + Text(command) + Text("+ok+") + Word(uint32_t(data.size())) + data +
           (data.empty() ? Bytes{} : Crc(data)) + Text("(hw)");
}

uint32_t Info(LinkSession& link, uint8_t* reply) {
    return BLSendCmd(link.session.get(), FourCC("info"), 0, nullptr, 16, 24, reply, 100);
}

TEST(BLSendCmd, FaultyRepliesGiveTheirCodes) {
    const Bytes record(16, 'x');
    const struct {
        Bytes reply;
        uint32_t code;
        std::string log;  // expected log line, or empty
    } cases[] = {
        {OkReply("info", Bytes(12, 'x')), ERR_PROTOCOL, "msg size out of range: 12 (16-24)"},
        {Text("respinfo+ok+") + Word(16) + record + Word(0x12345678) + Text("(hw)"), ERR_CRC, ""},
        {Text("respinfo+ok+") + Word(16) + record + Crc(record) + Text("(hx)"), ERR_PROTOCOL, ""},
        {Text("respinfonack(hw)"), ERR_CMD_FAILED, ""},
        {OkReply("done", {}), ERR_TIMEOUT, "BLWaitFor4CC(info) failed: 6"},
        {{}, ERR_TIMEOUT, "BLWaitFor4CC(resp) failed: 6"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.log + " / code " + std::to_string(c.code));
        LinkSession link(1, 50);
        link.peers[0].Send(c.reply);
        uint8_t reply[24] = {};
        EXPECT_EQ(Info(link, reply), c.code);
        if (!c.log.empty()) {
            EXPECT_TRUE(link.Logged(c.log)) << link.host.Transcript();
        }
    }
}

// Pings nobody answers: an abort leaves the port out of polling mode and the thread at its priority.
TEST(PassiveBootLoader, AbortInThePingLoopRestoresThePortAndThePriorities) {
    LinkSession link;
    link.AbortAfter(100);
    EXPECT_EQ(TalkToBootLoader(link.session.get()), ERR_ABORT);
    EXPECT_EQ(link.session->ports[0].pollingActive, 0);
    EXPECT_EQ(link.session->priorities.depth, 0u);
    EXPECT_EQ(link.peers[0].Receive(3), Text("???"));
}

struct PassiveJob {
    JobFixture job;
    std::vector<ImageChunk> flashLoader = {{kFlashLoaderBase, RandomBytes(10000, 1)},
                                           {kFlashLoaderBase + 0x8000, RandomBytes(256, 2)}};
    LoaderFile setupLoader;
    JobResult result;

    // A /phases=bl job; with a setup loader when the boot loader asks for one or `mit` is 1.
    PassiveJob(const handsetsim::Scenario& scenario, uint32_t mit = 0, const std::string& platformKey = "") {
        PlatformSection platform = PassivePlatform("P1", "fl.s19", kFlashLoaderBase);
        if (mit == 1) {
            platform = Mit1Platform("P1", "sl.s19", kSetupLoaderBase, "fl.s19", kFlashLoaderBase)
                           .WithFlash({FlashDefinitionMit1(0, 64)});
        } else if (scenario.blType == 5) {
            platform = PassiveWithSetupLoader("P1", "sl.s19", kSetupLoaderBase, "fl.s19", kFlashLoaderBase);
        }
        if (!platformKey.empty()) platform.Set(platformKey, "1");
        job.AddPlatform(platform);
        job.WriteImage("fl.s19", flashLoader);
        setupLoader = job.WriteLoader("sl.s19", kSetupLoaderBase, 3000, 3);
        job.StartHandset(scenario, {1});
        result = job.RunJob("/platform=P1 /com=1 /phases=bl /debug=1");
    }
    bool Has(const std::string& text) const { return result.host->HasMessage(text); }
    bool FlashLoaderIn(const std::string& stage) {
        for (const ImageChunk& chunk : flashLoader) {
            if (job.Handset()->Ram(stage, chunk.address, uint32_t(chunk.bytes.size())) != chunk.bytes) return false;
        }
        return true;
    }
    // Texts of the host events of `kind` that hold `part`.
    Lines Texts(HostEventKind kind, const std::string& part) const {
        Lines texts;
        for (const HostEvent& event : result.host->Events()) {
            if (event.kind == kind && event.text.find(part) != std::string::npos) texts.push_back(event.text);
        }
        return texts;
    }
    Lines Sends() const { return Texts(HostEventKind::Message, "Send: 0x"); }
    Lines ProgressTitles() const { return Texts(HostEventKind::ProgressBegin, ") ..."); }
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
    EXPECT_EQ(p.Sends(), (Lines{"Send: 0x20000000 - 0x20000fff (=4096)", "Send: 0x20001000 - 0x20001fff (=4096)",
                                "Send: 0x20002000 - 0x2000270f (=1808)", "Send: 0x20008000 - 0x200080ff (=256)"}));
    EXPECT_EQ(p.ProgressTitles(), (Lines{"Loading flash loader (1/2) ...", "Loading flash loader (2/2) ..."}));
    EXPECT_FALSE(p.Has("Talking to setup loader"));
}

TEST(PassiveBootLoader, SetupLoaderReceivesTheFlashLoaderUnlessIgnored) {
    handsetsim::Scenario scenario;
    scenario.bootRom = handsetsim::BootRom::PassiveWithSetupLoader;
    scenario.blType = 6;
    scenario.hasIdRegister = false;
    PassiveJob p(scenario, 1);
    ASSERT_EQ(p.result.code, SUCCESS) << p.result.Transcript();
    EXPECT_TRUE(p.job.RamHolds("boot", p.setupLoader));
    EXPECT_TRUE(p.FlashLoaderIn("setup"));
    for (const char* line : {"ID register: not reported", "Talking to setup loader",
                             "Setup loader V1.0 using UART0", "Setup loader type: 1"}) {
        EXPECT_TRUE(p.Has(line)) << line << "\n" << p.result.Transcript();
    }
    EXPECT_EQ(p.ProgressTitles(), (Lines{"Loading setup loader (1/1) ...", "Loading RAM (1/2) ...",
                                         "Loading RAM (2/2) ..."}));

    scenario = handsetsim::Scenario{};
    scenario.blType = 5;  // a boot loader that asks for the setup loader, on a platform that ignores it
    PassiveJob ignored(scenario, 0, "SetupLoaderIgnore");
    ASSERT_EQ(ignored.result.code, SUCCESS) << ignored.result.Transcript();
    EXPECT_TRUE(ignored.FlashLoaderIn("boot"));
    EXPECT_FALSE(ignored.Has("Talking to setup loader"));
}

// A boot loader that asks for a setup loader on a platform that names none:
// refused before any program is sent or started.
TEST(PassiveBootLoader, ASetupLoaderThePlatformLacksIsRefusedBeforeAnyDownload) {
    JobFixture job;
    job.AddPlatform(PassivePlatform("P1", "fl.s19", kFlashLoaderBase));
    job.WriteLoader("fl.s19", kFlashLoaderBase, 3000);
    handsetsim::Scenario scenario;
    scenario.bootRom = handsetsim::BootRom::PassiveWithSetupLoader;
    scenario.blType = 5;
    job.StartHandset(scenario, {1});
    const JobSetup giveUp{{}, [](RecordingHost& host) { host.abortAfterPolls = 8; }};  // rather than hang
    const JobResult result = job.RunJob("/platform=P1 /com=1 /phases=bl", giveUp);
    EXPECT_EQ(result.code, ERR_WRONG_FILE_SL) << result.Transcript();
    EXPECT_TRUE(result.Has("Error: The boot loader asks for a setup loader, but platform \"P1\" names none",
                           FLASH_LEVEL_ERROR))
        << result.Transcript();
    EXPECT_EQ(job.CommandNames(), (std::vector<std::string>{"info"}));
    EXPECT_TRUE(job.Handset()->RamWrites().empty());
}

TEST(PassiveBootLoader, UnknownOldOrUnusableLoadersAreRefused) {
    const char* unknown = "Unknown HW platform or corrupted bootloader signature";
    const struct {
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
    for (const auto& c : cases) {
        handsetsim::Scenario scenario;
        const bool setup = c.blType == 5 || c.mit == 1;
        scenario.bootRom = setup ? handsetsim::BootRom::PassiveWithSetupLoader : handsetsim::BootRom::Passive;
        scenario.blMajor = c.blMajor, scenario.blMinor = c.blMinor, scenario.blType = c.blType;
        scenario.blMaxTransfer = c.blMaxTransfer, scenario.slMaxTransfer = c.slMaxTransfer;
        PassiveJob p(scenario, c.mit);
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
    EXPECT_EQ(p.Sends(), (Lines{"Send: 0x20000000 - 0x20000fff (=4096)", "Send: 0x20001000 - 0x20001fff (=4096)",
                                "Send: 0x20001000 - 0x20001f7f (=3968)", "Send: 0x20001000 - 0x20001eff (=3840)",
                                "Send: 0x20001000 - 0x20001e7f (=3712)", "Send: 0x20001e80 - 0x2000270f (=2192)",
                                "Send: 0x20008000 - 0x200080ff (=256)"}));
    EXPECT_EQ(p.result.host->CountMessages("sync'ed"), 3u);

    scenario.faults.passiveNackDataCount = 10;
    PassiveJob failed(scenario);
    EXPECT_EQ(failed.result.code, ERR_TOO_MANY_RETRIES);
    EXPECT_TRUE(failed.Has("Too many retries for PC_DATA")) << failed.result.Transcript();
}

}  // namespace
