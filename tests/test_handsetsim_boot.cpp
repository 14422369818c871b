// The stand-in handset's boot ROMs from the PC side: what they refuse of a
// faulty library (broken, malformed or oversized frames, a block with a
// wrong checksum) and the halt after "done" with nothing loaded. The normal
// dialogues run in the library's own boot loader tests.
#include <gtest/gtest.h>

#include "flashdll/boot/boot_loader.h"
#include "support/handsetsim_client.h"

namespace {

using handsetsim::Handset;
using handsetsim::Scenario;
using namespace handsetsim_test;

std::unique_ptr<Handset> StartHandset(const Scenario& scenario) {
    std::string error;
    auto handset = Handset::Start(scenario, &error);
    EXPECT_TRUE(handset) << error;
    return handset;
}

// A "data" payload: address, length, then `count` bytes.
Bytes Data(uint32_t address, size_t count) {
    Bytes payload = Words({address, static_cast<uint32_t>(count)});
    for (size_t i = 0; i < count; ++i) {
        payload.push_back(static_cast<uint8_t>(i * 7 + 1));
    }
    return payload;
}

TEST(HandsetSimPassive, BrokenOrMalformedFramesGetNackAndStoreNothing) {
    Scenario scenario;
    scenario.blMaxTransfer = 256;
    auto handset = StartHandset(scenario);
    PcPort port(handset->UartPath(0));
    ASSERT_TRUE(WakePassive(port));
    Bytes spoilt = Frame("data", Data(0, 16), "(pc)"), disagreeing = Data(0, 16);
    spoilt[12] ^= 0x01;
    disagreeing[4] = 17;
    // Refused without reading a payload: the frame after it is taken as one.
    Bytes oversized = Frame("data", {}, ""), length = Words({0x10001});
    std::copy(length.begin(), length.end(), oversized.begin() + 4);
    const Bytes frames[] = {
        spoilt,
        Frame("info", {}, "(px)"),
        Frame("info", Words({0}), "(pc)"),
        Frame("done", Words({0}), "(pc)"),
        Frame("data", disagreeing, "(pc)"),
        Frame("data", Data(0, 0), "(pc)"),
        Frame("data", Data(0, 257), "(pc)"),  // more than the reported maximum transfer
        oversized,
    };
    for (size_t i = 0; i < sizeof frames / sizeof frames[0]; ++i) {
        port.Write(frames[i]);
        Reply reply;
        ASSERT_TRUE(ReadReply(port, &reply, true)) << i;
        EXPECT_FALSE(reply.ok) << i;
        EXPECT_TRUE(reply.tailOk) << i;  // "nack" is followed by the tail at once
    }
    EXPECT_TRUE(handset->RamWrites().empty());
    EXPECT_TRUE(Exchange(port, "data", Data(0x100, 256), true).ok);
    EXPECT_EQ(handset->RamWrites().size(), 1u);
    port.Write(std::string("sync"));
    EXPECT_TRUE(port.WaitFor("-()-", 1000));
    auto commands = handset->Commands();
    ASSERT_EQ(commands.size(), 10u);
    EXPECT_FALSE(commands[0].crcOk);
    EXPECT_FALSE(commands[1].tailOk);
    EXPECT_EQ(commands[9].name, "sync");
}

TEST(HandsetSimPassive, DoneWithNothingLoadedHaltsUntilReset) {
    auto handset = StartHandset(Scenario{});
    PcPort port(handset->UartPath(0));
    ASSERT_TRUE(WakePassive(port));
    ASSERT_TRUE(Exchange(port, "done", {}, true).ok);
    EXPECT_EQ(SwitchOver(port, 200), 0);  // no flash loader runs
    EXPECT_FALSE(handset->FlashLoaderRunning());
    handset->Reset();
    EXPECT_TRUE(WakePassive(port));
}

TEST(HandsetSimActive, BlockWithAWrongChecksumIsAnsweredWithTheRomsOwn) {
    Scenario scenario;
    scenario.bootRom = handsetsim::BootRom::Active;
    auto handset = StartHandset(scenario);
    PcPort port(handset->UartPath(0));
    ASSERT_TRUE(port.WaitFor("OOOO", 1000));
    port.Write(std::string(12, 'r'));  // ten answered with "K", then the rate request
    ASSERT_TRUE(port.WaitFor("KZER", 1000));
    Bytes block = Data(0, 4096);
    block.erase(block.begin(), block.begin() + 8);
    const uint16_t sum = BlockChecksum(block.data(), block.size());
    const uint8_t high = static_cast<uint8_t>(sum >> 8), low = static_cast<uint8_t>(sum);
    for (uint16_t sent : {static_cast<uint16_t>(sum + 1), sum}) {
        port.Write(Bytes{'b', 0, 0});
        ASSERT_EQ(port.Read(3, 500), (Bytes{'B', 0, 0}));
        port.Write(block);
        port.Write(Bytes{'c', static_cast<uint8_t>(sent >> 8), static_cast<uint8_t>(sent)});
        EXPECT_EQ(port.Read(sent == sum ? 1 : 3, 500), (sent == sum ? Bytes{'N'} : Bytes{'T', high, low}));
    }
    port.Write(Bytes{'b', 0xFF, 0xFF});
    EXPECT_EQ(port.Read(1, 500), Bytes{'P'});
    EXPECT_EQ(handset->Ram("boot", 0, 4096), block);
    EXPECT_EQ(handset->RamWrites().size(), 1u);
}

}  // namespace
