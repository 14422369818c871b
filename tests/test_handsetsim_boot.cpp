// The stand-in handset's boot ROMs and setup loader, driven byte by byte
// from the PC side of its pseudo-terminals.
#include <gtest/gtest.h>

#include "flashdll/boot/boot_loader.h"
#include "support/handsetsim_client.h"

namespace {

using handsetsim::BootRom;
using handsetsim::Handset;
using handsetsim::Scenario;
using handsetsim_test::BlReply;
using handsetsim_test::BootExchange;
using handsetsim_test::Bytes;
using handsetsim_test::PcPort;
using handsetsim_test::WordAt;
using handsetsim_test::Words;

std::unique_ptr<Handset> StartHandset(const Scenario& scenario) {
    std::string error;
    auto handset = Handset::Start(scenario, &error);
    EXPECT_TRUE(handset) << error;
    return handset;
}

Bytes DataPayload(uint32_t address, const Bytes& bytes) {
    Bytes payload = Words({address, static_cast<uint32_t>(bytes.size())});
    handsetsim_test::Append(&payload, bytes);
    return payload;
}

Bytes Pattern(size_t count, uint8_t seed) {
    Bytes bytes(count);
    for (size_t i = 0; i < count; ++i) {
        bytes[i] = static_cast<uint8_t>(seed + i * 7);
    }
    return bytes;
}

// ---------------------------------------------------------------- passive

TEST(HandsetSimPassive, InfoDataDoneThenFlashLoaderAnswers) {
    Scenario scenario;
    scenario.blMajor = 2;
    scenario.blMinor = 7;
    scenario.blType = 3;
    scenario.blFlag = true;
    scenario.idRegister = 0x00010100;
    auto handset = StartHandset(scenario);
    PcPort port(handset->UartPath(0));
    ASSERT_TRUE(handsetsim_test::WakePassive(port));

    BlReply info = BootExchange(port, "info", {});
    ASSERT_TRUE(info.ok);
    EXPECT_EQ(info.echo, "info");
    EXPECT_TRUE(info.crcOk && info.tailOk);
    ASSERT_EQ(info.data.size(), 24u);
    EXPECT_EQ(WordAt(info.data, 0), 0x80030207u);  // flag, type 3, version 2.7
    EXPECT_EQ(WordAt(info.data, 1), 0x4142000Au);
    EXPECT_EQ(WordAt(info.data, 2), 0u);
    EXPECT_EQ(WordAt(info.data, 3), 4352u);
    EXPECT_EQ(WordAt(info.data, 4), 4u);
    EXPECT_EQ(WordAt(info.data, 5), 0x00010100u);

    Bytes code = Pattern(300, 1);
    EXPECT_TRUE(BootExchange(port, "data", DataPayload(0x1000, code)).ok);
    EXPECT_FALSE(handset->FlashLoaderRunning());
    BlReply done = BootExchange(port, "done", {});
    EXPECT_TRUE(done.ok && done.tailOk);
    EXPECT_EQ(handsetsim_test::SwitchOver(port), 'A');
    EXPECT_TRUE(handset->FlashLoaderRunning());

    EXPECT_EQ(handset->Ram("boot", 0x1000, 300), code);
    ASSERT_EQ(handset->RamWrites().size(), 1u);
    EXPECT_EQ(handset->CountCommands("data"), 1u);
    EXPECT_EQ(handset->Commands().front().stage, "boot");
}

TEST(HandsetSimPassive, InfoRecordWithoutIdRegisterIs16Bytes) {
    Scenario scenario;
    scenario.hasIdRegister = false;
    auto handset = StartHandset(scenario);
    PcPort port(handset->UartPath(0));
    ASSERT_TRUE(handsetsim_test::WakePassive(port));
    BlReply info = BootExchange(port, "info", {});
    ASSERT_TRUE(info.ok);
    EXPECT_EQ(info.data.size(), 16u);
}

TEST(HandsetSimPassive, SetupLoaderStageReceivesTheFlashLoader) {
    Scenario scenario;
    scenario.bootRom = BootRom::PassiveWithSetupLoader;
    scenario.slMajor = 1;
    scenario.slMinor = 4;
    scenario.slType = 0x1234;
    scenario.slMaxTransfer = 2304;
    auto handset = StartHandset(scenario);
    PcPort port(handset->UartPath(0));
    ASSERT_TRUE(handsetsim_test::WakePassive(port));
    ASSERT_TRUE(BootExchange(port, "data", DataPayload(0x8000, Pattern(64, 3))).ok);
    ASSERT_TRUE(BootExchange(port, "done", {}).ok);

    // The setup loader runs now: the same wake-up and frames, its own record.
    ASSERT_TRUE(handsetsim_test::WakePassive(port));
    BlReply info = BootExchange(port, "info", {});
    ASSERT_TRUE(info.ok);
    EXPECT_EQ(WordAt(info.data, 0), 0x12340104u);
    EXPECT_EQ(WordAt(info.data, 3), 2304u);
    Bytes loader = Pattern(2000, 9);
    ASSERT_TRUE(BootExchange(port, "data", DataPayload(0x40000, loader)).ok);
    // More than the setup loader takes in one "data" is refused.
    EXPECT_FALSE(BootExchange(port, "data", DataPayload(0x50000, Pattern(2305, 0))).ok);
    ASSERT_TRUE(BootExchange(port, "done", {}).ok);
    EXPECT_EQ(handsetsim_test::SwitchOver(port), 'A');

    EXPECT_EQ(handset->Ram("setup", 0x40000, 2000), loader);
    EXPECT_EQ(handset->Ram("boot", 0x40000, 4), Bytes(4, 0));
    EXPECT_EQ(handset->RamWrites().back().stage, "setup");
}

TEST(HandsetSimPassive, BrokenFramesAreRefusedAndSyncAnswered) {
    auto handset = StartHandset(Scenario{});
    PcPort port(handset->UartPath(0));
    ASSERT_TRUE(handsetsim_test::WakePassive(port));

    Bytes frame = handsetsim_test::BootCommand("data", DataPayload(0, Pattern(16, 0)));
    frame[12] ^= 0x01;  // a data byte spoilt on the way
    port.Write(frame);
    BlReply reply;
    ASSERT_TRUE(handsetsim_test::ReadBlReply(port, &reply));
    EXPECT_FALSE(reply.ok);
    EXPECT_TRUE(reply.tailOk);  // "nack" is followed by the tail at once

    Bytes badTail = handsetsim_test::Frame("info", {}, "(px)");
    port.Write(badTail);
    ASSERT_TRUE(handsetsim_test::ReadBlReply(port, &reply));
    EXPECT_FALSE(reply.ok);

    port.Write(std::string("sync"));
    EXPECT_TRUE(port.WaitFor("-()-", 1000));
    auto commands = handset->Commands();
    ASSERT_EQ(commands.size(), 3u);
    EXPECT_FALSE(commands[0].crcOk);
    EXPECT_FALSE(commands[1].tailOk);
    EXPECT_EQ(commands[2].name, "sync");
    EXPECT_TRUE(handset->RamWrites().empty());
}

TEST(HandsetSimPassive, NackFaultRefusesTheNthDataForItsCount) {
    Scenario scenario;
    scenario.faults.passiveNackDataNth = 2;
    scenario.faults.passiveNackDataCount = 2;
    auto handset = StartHandset(scenario);
    PcPort port(handset->UartPath(0));
    ASSERT_TRUE(handsetsim_test::WakePassive(port));
    std::vector<bool> accepted;
    for (uint32_t i = 0; i < 4; ++i) {
        accepted.push_back(BootExchange(port, "data", DataPayload(i * 16, Pattern(16, 0))).ok);
    }
    EXPECT_EQ(accepted, (std::vector<bool>{true, false, false, true}));
    EXPECT_EQ(handset->RamWrites().size(), 2u);
}

TEST(HandsetSimPassive, DoneWithoutCodeHaltsUntilReset) {
    auto handset = StartHandset(Scenario{});
    PcPort port(handset->UartPath(0));
    ASSERT_TRUE(handsetsim_test::WakePassive(port));
    ASSERT_TRUE(BootExchange(port, "done", {}).ok);
    EXPECT_EQ(handsetsim_test::SwitchOver(port, 200), 0);  // nothing runs
    handset->Reset();
    EXPECT_TRUE(handsetsim_test::WakePassive(port));
}

TEST(HandsetSimPassive, SilentBootRomNeverAnswers) {
    Scenario scenario;
    scenario.faults.bootSilent = true;
    auto handset = StartHandset(scenario);
    PcPort port(handset->UartPath(0));
    port.Write(std::string("????"));
    EXPECT_TRUE(port.Read(1, 100).empty());
}

TEST(HandsetSimPassive, PacedLinesCarryTheWholeDialogue) {
    Scenario scenario;
    scenario.paceLine = true;
    scenario.uartCount = 2;
    scenario.blUart = 1;  // the boot ROM listens on the second UART
    auto handset = StartHandset(scenario);
    PcPort unused(handset->UartPath(0));
    PcPort port(handset->UartPath(1));
    ASSERT_TRUE(handsetsim_test::WakePassive(port));
    Bytes code = Pattern(4000, 8);
    ASSERT_TRUE(BootExchange(port, "data", DataPayload(0, code)).ok);
    ASSERT_TRUE(BootExchange(port, "done", {}).ok);
    EXPECT_EQ(handsetsim_test::SwitchOver(port), 'B');
    EXPECT_EQ(handsetsim_test::SwitchOver(unused), 'A');
    EXPECT_EQ(handset->Ram("boot", 0, 4000), code);
    EXPECT_EQ(handset->Commands().front().uart, 1u);
}

// ---------------------------------------------------------------- active

Scenario ActiveScenario() {
    Scenario scenario;
    scenario.bootRom = BootRom::Active;
    return scenario;
}

// Waits for "O", sends runs of ten "r" (each answered with "K"), then "rr";
// returns what followed (normally "ZER").
Bytes ActiveHandshake(PcPort& port, int runs = 1) {
    if (!port.WaitFor("OOOO", 1000)) {
        return {};
    }
    for (int run = 0; run < runs; ++run) {
        port.Write(std::string(10, 'r'));
        if (!port.WaitForByte('K', 500)) {
            return {};
        }
    }
    port.Write(std::string("rr"));
    return port.Read(3, 500);
}

void SendBlock(PcPort& port, uint32_t block, const Bytes& data, uint16_t sum) {
    port.Write(Bytes{'b', static_cast<uint8_t>(block >> 8), static_cast<uint8_t>(block)});
    Bytes echo = port.Read(3, 500);
    ASSERT_EQ(echo, (Bytes{'B', static_cast<uint8_t>(block >> 8), static_cast<uint8_t>(block)}));
    port.Write(data);
    port.Write(Bytes{'c', static_cast<uint8_t>(sum >> 8), static_cast<uint8_t>(sum)});
}

TEST(HandsetSimActive, HandshakeBlocksAndEndMarker) {
    auto handset = StartHandset(ActiveScenario());
    PcPort port(handset->UartPath(0));
    ASSERT_EQ(ActiveHandshake(port), (Bytes{'Z', 'E', 'R'}));

    Bytes block0 = Pattern(4096, 5), block1 = Pattern(4096, 77);
    SendBlock(port, 0, block0, BlockChecksum(block0.data(), block0.size()));
    EXPECT_EQ(port.Read(1, 500), Bytes{'N'});
    SendBlock(port, 1, block1, BlockChecksum(block1.data(), block1.size()));
    EXPECT_EQ(port.Read(1, 500), Bytes{'N'});
    port.Write(Bytes{'b', 0xFF, 0xFF});
    EXPECT_EQ(port.Read(1, 500), Bytes{'P'});

    EXPECT_EQ(handsetsim_test::SwitchOver(port), 'A');
    EXPECT_EQ(handset->Ram("boot", 0, 4096), block0);
    EXPECT_EQ(handset->Ram("boot", 4096, 4096), block1);
}

TEST(HandsetSimActive, RepeatedRunsOfTenAreEachAnswered) {
    auto handset = StartHandset(ActiveScenario());
    PcPort port(handset->UartPath(0));
    EXPECT_EQ(ActiveHandshake(port, 3), (Bytes{'Z', 'E', 'R'}));
}

TEST(HandsetSimActive, BlockFaultsAndChecksumErrors) {
    Scenario scenario = ActiveScenario();
    scenario.faults.activeWrongEchoBlock = 0;
    scenario.faults.activeWrongEchoCount = 1;
    scenario.faults.activeVerdict = 'F';
    scenario.faults.activeVerdictBlock = 1;
    scenario.faults.activeVerdictCount = 1;
    auto handset = StartHandset(scenario);
    PcPort port(handset->UartPath(0));
    ASSERT_EQ(ActiveHandshake(port), (Bytes{'Z', 'E', 'R'}));

    port.Write(Bytes{'b', 0, 0});
    EXPECT_EQ(port.Read(3, 500), (Bytes{'B', 0, 1}));  // wrong echo, block not taken
    Bytes block = Pattern(4096, 11);
    uint16_t sum = BlockChecksum(block.data(), block.size());
    SendBlock(port, 0, block, static_cast<uint16_t>(sum + 1));
    EXPECT_EQ(port.Read(3, 500), (Bytes{'T', static_cast<uint8_t>(sum >> 8), static_cast<uint8_t>(sum)}));
    SendBlock(port, 0, block, sum);
    EXPECT_EQ(port.Read(1, 500), Bytes{'N'});
    SendBlock(port, 1, block, sum);
    EXPECT_EQ(port.Read(3, 500).at(0), 'F');  // the verdict fault
    SendBlock(port, 1, block, sum);
    EXPECT_EQ(port.Read(1, 500), Bytes{'N'});
    EXPECT_EQ(handset->RamWrites().size(), 2u);
}

TEST(HandsetSimActive, RateAcknowledgementFaults) {
    Scenario scenario = ActiveScenario();
    scenario.faults.activeByteAfterZ = 'Q';
    auto wrongByte = StartHandset(scenario);
    PcPort port(wrongByte->UartPath(0));
    EXPECT_EQ(ActiveHandshake(port).at(1), 'Q');

    scenario.faults = handsetsim::Faults{};
    scenario.faults.activeNoZ = true;
    auto noZ = StartHandset(scenario);
    PcPort other(noZ->UartPath(0));
    Bytes after = ActiveHandshake(other);
    for (uint8_t b : after) {
        EXPECT_NE(b, 'Z');
    }
}

}  // namespace
