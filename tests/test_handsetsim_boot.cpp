// The stand-in handset's boot ROMs: what they must refuse of a faulty library
// (broken, malformed or oversized frames, a block with a wrong checksum).
// The normal dialogues run in the library's own boot loader tests.
#include <gtest/gtest.h>

#include "flashdll/boot/boot_loader.h"
#include "support/handsetsim_client.h"

namespace {

using handsetsim::Scenario;
using namespace handsetsim_test;
using HandsetSimBoot = HandsetTest;

// A "data" payload: address, length, then `count` bytes.
Bytes Data(uint32_t address, size_t count) {
    return Words({address, static_cast<uint32_t>(count)}) + Pattern(count, 1);
}

TEST_F(HandsetSimBoot, BrokenOrMalformedFramesGetNackAndStoreNothing) {
    Scenario scenario;
    scenario.blMaxTransfer = 256;
    Begin(scenario);
    ASSERT_TRUE(WakePassive(*port_));
    Bytes spoilt = Frame("data", Data(0, 16), "(pc)"), disagreeing = Data(0, 16);
    spoilt[12] ^= 0x01;
    disagreeing[4] = 17;  // the length word
    // Refused without reading a payload: the next frame is taken as one.
    Bytes oversized = Text("data") + Words({0x10001});
    const Bytes frames[] = {spoilt, Frame("info", {}, "(px)"), Frame("info", Words({0}), "(pc)"),
                            Frame("done", Words({0}), "(pc)"), Frame("data", disagreeing, "(pc)"),
                            Frame("data", Data(0, 0), "(pc)"), Frame("data", Data(0, 257), "(pc)"), oversized};
    for (const Bytes& frame : frames) {
        port_->Write(frame);
        Reply reply;
        ASSERT_TRUE(ReadReply(*port_, &reply, true)) << handset_->Report();
        EXPECT_FALSE(reply.ok) << handset_->Report();
        EXPECT_TRUE(reply.tailOk);  // "nack" is followed by the tail at once
    }
    EXPECT_TRUE(handset_->RamWrites().empty());
    EXPECT_TRUE(Ask("data", Data(0x100, 256), true).ok);  // the largest it takes
    port_->Write(std::string("sync"));
    EXPECT_TRUE(port_->WaitFor("-()-", 1000));
    auto commands = handset_->Commands();
    ASSERT_EQ(commands.size(), 10u);
    EXPECT_TRUE(!commands[0].crcOk && !commands[1].tailOk && commands[9].name == "sync");
}

TEST_F(HandsetSimBoot, ActiveRomAnswersAWrongBlockChecksumWithItsOwn) {
    Scenario scenario;
    scenario.bootRom = handsetsim::BootRom::Active;
    Begin(scenario);
    ASSERT_TRUE(port_->WaitFor("OOOO", 1000));
    port_->Write(std::string(12, 'r'));  // ten answered with "K", then two asking for the rate
    ASSERT_TRUE(port_->WaitFor("KZER", 1000));
    Bytes block = Data(0, 4096 - 8);
    const uint16_t sum = BlockChecksum(block.data(), block.size());
    for (uint16_t sent : {static_cast<uint16_t>(sum + 1), sum}) {
        port_->Write(Bytes{'b', 0, 0});
        ASSERT_EQ(port_->Read(3, 500), (Bytes{'B', 0, 0}));
        port_->Write(block);
        port_->Write(Bytes{'c', static_cast<uint8_t>(sent >> 8), static_cast<uint8_t>(sent)});
        Bytes verdict{'T', static_cast<uint8_t>(sum >> 8), static_cast<uint8_t>(sum)};
        EXPECT_EQ(port_->Read(sent == sum ? 1 : 3, 500), sent == sum ? Bytes{'N'} : verdict);
    }
    EXPECT_EQ(handset_->Ram("boot", 0, 4096), block);
}

}  // namespace
