// The flash loader handshake: the INFO request, INFO replies no sane handset
// sends (scripted), and whole handshakes against a stand-in handset.
#include <gtest/gtest.h>

#include <cstdio>

#include "flashdll/report/errors.h"
#include "flashdll/hw/fs_chip_table.h"
#include "flashdll/link/serial.h"
#include "flashdll/loader/handshake.h"
#include "flashdll/loader/handshake_steps.h"
#include "flashdll/link/le.h"
#include "flashdll/session/options.h"
#include "support/job_fixture.h"
#include "support/link_session.h"

using namespace testing_support;

namespace {

// A catalogue in a home directory of its own: chips 01/22d7 (amd), 89/8817
// (intel), 89/1111 (intel family, found under an AMD id) and ec/3333 (nand),
// each 1 MiB in 16 sectors.
struct Catalogue : JobFixture {
    Catalogue() {
        AddChipType(0x01, 0x22D7, "amd", "64*16", "standard", "AMD one");
        AddChipType(0x89, 0x8817, "intel", "64*16");
        AddChipType(0x89, 0x1111, "intel", "64*16", "pagebuffer:32");
        AddChipType(0xEC, 0x3333, "nand", "64*16");
    }
};

// The INFO reply of a 5.13 flash loader reporting `count` chips, every slot
// holding AMD id 01/22d7 at `start`.
Bytes InfoReply(uint32_t count, uint32_t start) {
    Bytes words = Word(0x050D) + Word(count);
    for (int i = 0; i < 4; ++i) words = words + Word(0x01u << 16) + Word(0x22D7) + Bytes(16, 0) + Word(start);
    return words + Word(0x20000) + Word(0x2000) + Word(115200) + Bytes(16, 0);
}

handsetsim::ChipSlot Chip(uint32_t amd, uint32_t amdDevice, uint32_t intel, uint32_t intelDevice, uint32_t start,
                          uint32_t nand = 0, uint32_t nandDevice = 0) {
    return {amd << 16, amdDevice, intel << 16, intelDevice, nand << 16, nandDevice, start, std::vector<uint32_t>(16, 0x10000)};
}

}  // namespace

TEST(HandshakePieces, InfoRequestWords) {
    auto session = std::make_unique<Session>();
    session->platform.chipDescriptions = session->platform.flashDefinitionCount = 1;
    session->platform.flashDefinitions[0] = {0x20000000, 16u << 20, 2, 0x80100000};
    session->options.eraseunused = session->options.sparenand = 1;
    uint8_t words[kInfoRequestWords * 4];
    for (const uint32_t mode : {FLASH_MODE_FLASH, FLASH_MODE_CONTENTS}) {  // contents only: never erase unused flash
        session->currentMode = mode;
        BuildInfoRequest(session.get(), words);
        // 16 MiB in the upper half beside chip select 2; unused definition slots carry zeros.
        const uint32_t expected[] = {1, mode == FLASH_MODE_FLASH ? 0x60000000u : 0x40000000u, 0x20000000,
                                     0x00100002, 0x80100000, 0};
        for (uint32_t i = 0; i < 6; ++i) EXPECT_EQ(expected[i], GetLe32(words + 4 * i)) << "word " << i;
    }
}

TEST(HandshakeRefusals, TooManyChipsOrAChipPastTheAddressSpace) {
    Catalogue catalogue;
    LinkSession link;
    const auto handshake = [&link](const Bytes& info) {
        link.peers[0].Send(Text("#Asyn!") + Reply("INFO", true, info));
        return TalkToFlashloader(link.session.get());
    };
    EXPECT_EQ(ERR_PROTOCOL, handshake(InfoReply(5, 0x20000000)));
    EXPECT_TRUE(link.Logged("Device information reports 5 chips, at most 4 are possible"));
    EXPECT_EQ(0u, link.session->flashLoader.chipCount);
    // A 1 MiB chip may end on the last address, not one byte beyond it.
    EXPECT_EQ(SUCCESS, handshake(InfoReply(1, 0xFFF00000)));
    EXPECT_EQ(0xFFFFFFFFu, link.session->flashLoader.chips[0].endAddress);
    EXPECT_EQ(ERR_FLASHTYPE, handshake(InfoReply(1, 0xFFF00001)));
    EXPECT_TRUE(link.Logged("Flash chip 0x01/0x000022d7 at 0xfff00001 does not fit the address space"));
}

namespace {

class HandshakeTest : public ::testing::Test {
protected:
    // Starts (or replaces) a handset whose flash loader runs, on COM1 (and COM2),
    // described as platform P1 with a flash definition per chip.
    void Start(handsetsim::Scenario scenario, uint32_t ports = 1) {
        if (scenario.chips.empty()) scenario.chips.push_back(Chip(0x01, 0x22D7, 0, 0, 0x20000000));
        scenario.uartCount = ports;
        scenario.startInFlashLoader = true;
        link.reset();
        link = std::make_unique<LinkSession>(scenario);
        ASSERT_EQ(link->error, "");
        session = link->session.get();
        std::snprintf(session->options.platform, sizeof session->options.platform, "P1");
        session->platform.chipDescriptions = 1;
        session->platform.flashDefinitionCount = uint32_t(scenario.chips.size());
        for (size_t i = 0; i < scenario.chips.size(); ++i) {
            session->platform.flashDefinitions[i] = {scenario.chips[i].start, 1u << 20, uint32_t(i), 0};
        }
        for (uint32_t port = 0; port < ports; ++port) {
            session->ports[port].supportedSpeedCount = 5;
            std::copy(kSpeedList, kSpeedList + 5, session->ports[port].supportedSpeeds);
        }
    }
    uint32_t Run() { return TalkToFlashloader(session); }
    bool Logged(const std::string& text) { return link->Logged(text); }
    size_t Sent(const std::string& command) { return link->handset->CountCommands(command); }
    std::string Transcript() { return link->host.Transcript(); }

    Catalogue catalogue;
    std::unique_ptr<LinkSession> link;
    Session* session = nullptr;
};

}  // namespace

TEST_F(HandshakeTest, FlashLoadersOlderThan513AreRefused) {
    const struct { uint32_t major, minor, code; } versions[] = {
        {5, 12, ERR_LEGACY_LOADER}, {5, 13, SUCCESS}, {6, 0, SUCCESS}};
    for (const auto& version : versions) {
        handsetsim::Scenario scenario;
        scenario.flMajor = version.major, scenario.flMinor = version.minor;
        ASSERT_NO_FATAL_FAILURE(Start(scenario));
        EXPECT_EQ(version.code, Run()) << Transcript();
        EXPECT_EQ(version.code != SUCCESS, Logged("Legacy flash loader detected. (5.12 < 5.13) Unable to continue."));
    }
    EXPECT_TRUE(Logged("Flash loader version: V6.00"));
}

TEST_F(HandshakeTest, SpeedFollowsMaxspeedAndTheMobileList) {
    handsetsim::Scenario scenario;
    const uint32_t speeds[] = {115200, 460800, 921600, 0, 0};
    std::copy(speeds, speeds + 5, scenario.mobileSpeeds);
    ASSERT_NO_FATAL_FAILURE(Start(scenario));
    session->options.maxspeed[0] = 3;
    ASSERT_EQ(SUCCESS, Run()) << Transcript();
    EXPECT_TRUE(Logged("Mobile transfer speeds: 115200, 460800, 921600"));
    EXPECT_TRUE(Logged("COM1: changing baud rate to 460800"));
    EXPECT_EQ(460800u, session->ports[0].baudRate);
    EXPECT_EQ(460800u, session->ports[0].linkSpeed);
    EXPECT_EQ(1u, Sent("BAUD"));

    // 115200 allowed at most, nothing allowed, or a PC side that stops at 230400: no BAUD at all.
    for (const auto& limits : {std::make_pair(1u, 5u), std::make_pair(0u, 5u), std::make_pair(4u, 3u)}) {
        session->options.maxspeed[0] = limits.first;
        session->ports[0].supportedSpeedCount = limits.second;
        ComSetBaud(session, 0, 115200);
        ASSERT_EQ(SUCCESS, Run()) << Transcript();
        EXPECT_EQ(1u, Sent("BAUD"));
        EXPECT_EQ(115200u, session->ports[0].baudRate);
    }
}

TEST_F(HandshakeTest, ChipsAreChosenByFamilyInOrderOfPreference) {
    handsetsim::Scenario scenario;
    // AMD pair of the intel family is passed over for the nand pair; the
    // second chip's amd pair wins over its known intel pair.
    scenario.chips = {Chip(0x89, 0x1111, 0x77, 0x7777, 0x20000000, 0xEC, 0x3333),
                      Chip(0x01, 0x22D7, 0x89, 0x8817, 0x24000000)};
    ASSERT_NO_FATAL_FAILURE(Start(scenario));
    for (int run = 0; run < 2; ++run) {  // the file-system table holds this handset's chips only
        ASSERT_EQ(SUCCESS, Run()) << Transcript();
        EXPECT_EQ(1u, GetLe16(session->fsChipTable.bytes));
    }
    const FlashLoaderInfo& loader = session->flashLoader;
    ASSERT_EQ(2u, loader.chipCount);
    EXPECT_EQ(kFamilyNand, loader.chips[0].family);
    EXPECT_EQ(0xECu, loader.chips[0].manufacturerId);
    EXPECT_EQ(kFamilyAmd, loader.chips[1].family);
    EXPECT_EQ(0x24000000u, loader.chips[1].startAddress);
    EXPECT_EQ(0x240FFFFFu, loader.chips[1].endAddress);
    EXPECT_EQ(16u, loader.chips[1].sectorCount);
    EXPECT_EQ(0x10000u, loader.chips[1].boundaries[1]);
    EXPECT_TRUE(Logged("0x01/0x000022d7: AMD one (1024 KB (1048576 Bytes) in 16 sectors)"));
    EXPECT_TRUE(Logged("Total flash memory: 2048 KB (2097152 Bytes) in 32 sectors on 2 chips"));

    scenario.chips = {Chip(0x89, 0x1111, 0x77, 0x7777, 0x20000000)};  // an intel chip under its AMD id alone
    ASSERT_NO_FATAL_FAILURE(Start(scenario));
    EXPECT_EQ(ERR_FLASHTYPE, Run());
    EXPECT_TRUE(Logged("Platform : [P1]"));
    EXPECT_TRUE(Logged("@@Unknown Flash Chip: 0x89/0x00001111, 0x77/0x00007777, 0x00/0x00000000")) << Transcript();
}

TEST_F(HandshakeTest, TwoPortsShareByTheirRatesOrOneIsLeftWhenTheSecondIsSilent) {
    ASSERT_NO_FATAL_FAILURE(Start(handsetsim::Scenario{}, 2));
    session->options.maxspeed[0] = 4;
    session->options.maxspeed[1] = 3;
    ASSERT_EQ(SUCCESS, Run()) << Transcript();
    EXPECT_TRUE(Logged("2 port(s) will be used"));
    EXPECT_EQ(1u, session->ports[1].checkedUart);
    EXPECT_EQ(2u, Sent("BAUD"));
    EXPECT_TRUE(Logged("Logical port 0: COM1 <-> UART0 at 921600 baud (~66%)"));
    EXPECT_TRUE(Logged("Logical port 1: COM2 <-> UART1 at 460800 baud (~33%)"));
    EXPECT_EQ(66u, session->ports[0].transferShare);
    EXPECT_EQ(460800u, session->ports[0].linkSpeed);  // the last rate BAUD set

    handsetsim::Scenario scenario;
    scenario.faults.secondUartSilent = true;
    ASSERT_NO_FATAL_FAILURE(Start(scenario, 2));
    ASSERT_EQ(SUCCESS, Run()) << Transcript();
    EXPECT_TRUE(Logged("Error during connection test. Only one port will be used"));
    EXPECT_EQ(1u, session->portCount);
    EXPECT_EQ(nullptr, session->ports[1].handle);
    EXPECT_TRUE(Logged("Logical port 0: COM1 <-> UART0 at 115200 baud (~100%)"));
}

TEST_F(HandshakeTest, InfoIsRetriedAfterResyncsUpToFiveTimes) {
    for (const uint32_t failures : {4u, 5u}) {
        SCOPED_TRACE(failures);
        handsetsim::Scenario scenario;
        scenario.faults.errCommand = "INFO", scenario.faults.errNth = 1, scenario.faults.errCount = failures;
        ASSERT_NO_FATAL_FAILURE(Start(scenario));
        EXPECT_EQ(failures == 4 ? SUCCESS : ERR_CMD_FAILED, Run()) << Transcript();
        EXPECT_EQ(5u, Sent("INFO"));
        EXPECT_EQ(5u, Sent("SYNC"));  // after the switch-over and each failure another attempt follows
    }
}

// The host aborts while the handshake waits for "syn!": after the switch-over,
// or between two INFO attempts. Either way the result is ERR_ABORT.
TEST_F(HandshakeTest, AnAbortWhileItResyncsEndsItAsAborted) {
    const struct {
        uint32_t syncSilentFrom, infoFailures, info, sync;  // faults; INFO and SYNC sent
    } cases[] = {{1, 0, 0, 1}, {2, 1, 1, 2}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.infoFailures);
        handsetsim::Scenario scenario;
        scenario.faults.silentCommand = "SYNC", scenario.faults.silentNth = c.syncSilentFrom;
        scenario.faults.silentCount = 5;
        scenario.faults.errCommand = "INFO", scenario.faults.errNth = c.infoFailures;
        ASSERT_NO_FATAL_FAILURE(Start(scenario));
        link->AbortAfter(1000);  // each unanswered resync waits 5 s
        EXPECT_EQ(ERR_ABORT, Run()) << Transcript();
        EXPECT_EQ(c.info, Sent("INFO"));
        EXPECT_EQ(c.sync, Sent("SYNC"));
    }
}
