// The stand-in handset's flash loader from the PC side: the rules a faulty
// library would break and the handset must refuse (broken or oversized
// frames, commands before SETP, transfers it cannot take, a forgotten speed
// change), how OPEN's flags decide what CLOS leaves in flash, and flash that
// survives a reset and a restart through the flash file. The normal paths
// run in the library's own tests against this handset.
#include <gtest/gtest.h>

#include "flashdll/loader/crc32.h"
#include "support/handsetsim_client.h"
#include "support/temp_dir.h"

namespace {

using handsetsim::Handset;
using handsetsim::Scenario;
using namespace handsetsim_test;

constexpr uint32_t kSmall = 8192, kBig = 65536;          // sectors 0..7, 8..11
constexpr uint32_t kWhole = 0x11, kPartial = 0x13, kSeparateErase = 0x18;

uint32_t SectorBase(uint32_t s) { return s < 8 ? kFlashBase + s * kSmall : kFlashBase + 8 * kSmall + (s - 8) * kBig; }
uint32_t SectorSize(uint32_t s) { return s < 8 ? kSmall : kBig; }
Bytes OpenSector(uint32_t s, uint32_t flags) { return Words({s, SectorBase(s), SectorSize(s), flags, 0xFF}); }

Bytes Pattern(size_t count, uint8_t seed) {
    Bytes bytes(count);
    for (size_t i = 0; i < count; ++i) {
        bytes[i] = static_cast<uint8_t>(seed + i * 13 + (i >> 8));
    }
    return bytes;
}

class HandsetSimFlash : public ::testing::Test {
protected:
    void Begin(const Scenario& scenario = FlashScenario(), bool setUp = true) {
        std::string error;
        handset_ = Handset::Start(scenario, &error);
        ASSERT_TRUE(handset_) << error;
        port_ = std::make_unique<PcPort>(handset_->UartPath(0));
        ASSERT_EQ(SwitchOver(*port_), 'A');
        if (setUp) {
            ASSERT_TRUE(Ask("SETP", Words({1, 0x227E, 0, 0, 0, 0, 0, 0, 0})).ok);
        }
    }
    Reply Ask(const std::string& code, const Bytes& payload) { return Exchange(*port_, code, payload); }
    // TXDT of `data` in one part on UART0, of which only `sent` bytes follow
    // the frame; `crcFlip` spoils the part's checksum.
    Reply SendData(uint32_t address, const Bytes& data, size_t sent, uint32_t crcFlip = 0) {
        uint32_t size = static_cast<uint32_t>(data.size());
        uint32_t crc = Crc32(data.data(), data.size()) ^ crcFlip;
        port_->Write(Frame("TXDT", Words({address, size, 1, 1, 0, 0, size, crc, 0, 0, 0, 0})));
        port_->Write(Bytes(data.begin(), data.begin() + sent));
        Reply reply;
        ReadReply(*port_, &reply, false, 4000);
        return reply;
    }
    void Program(uint32_t sector, uint32_t flags, uint32_t at, const Bytes& data) {
        ASSERT_TRUE(Ask("OPEN", OpenSector(sector, flags)).ok);
        ASSERT_TRUE(SendData(at, data, data.size()).ok);
        ASSERT_TRUE(Ask("CLOS", Words({sector})).ok);
    }

    std::unique_ptr<Handset> handset_;
    std::unique_ptr<PcPort> port_;
};

TEST_F(HandsetSimFlash, BrokenOversizedAndEarlyCommandsAreRefused) {
    Scenario scenario = FlashScenario();
    scenario.maxRx = 1024;
    Begin(scenario, false);
    Bytes range = Words({kFlashBase, 16});
    EXPECT_EQ(ErrorWord(Ask("VRFY", range)), 3u);  // no SETP yet
    Bytes spoilt = Frame("VRFY", range);
    spoilt[9] ^= 0x40;
    port_->Write(spoilt);
    Reply reply;
    ASSERT_TRUE(ReadReply(*port_, &reply));
    EXPECT_EQ(ErrorWord(reply), 1u);
    EXPECT_TRUE(reply.crcOk && reply.tailOk);
    port_->Write(Frame("DONE", {}, "EOT,"));
    ASSERT_TRUE(ReadReply(*port_, &reply));
    EXPECT_EQ(ErrorWord(reply), 1u);

    // A length beyond the TX size is refused at once: the bytes after it are
    // the next command, not a payload to wait for.
    Bytes oversized = Frame("VRFY", {}, ""), length = Words({scenario.maxTx + 0x10000});
    std::copy(length.begin(), length.end(), oversized.begin() + 4);
    port_->Write(oversized);
    port_->Write(Frame("SETP", Words({1, 0x1234, 0, 0, 0, 0, 0, 0, 0})));
    ASSERT_TRUE(ReadReply(*port_, &reply));
    EXPECT_EQ(reply.echo, "VRFY");
    EXPECT_EQ(ErrorWord(reply), 1u);
    ASSERT_TRUE(ReadReply(*port_, &reply));
    EXPECT_EQ(ErrorWord(reply), 9u);  // SETP for a chip the loader did not report
    EXPECT_EQ(ErrorWord(Ask("VRFY", range)), 3u);

    ASSERT_TRUE(Ask("SETP", Words({1, 0x227E, 0, 0, 0, 0, 0, 0, 0})).ok);
    EXPECT_TRUE(Ask("VRFY", range).ok);
    EXPECT_TRUE(Ask("SUCK", Words({kFlashBase, 1024})).ok);
    EXPECT_EQ(ErrorWord(Ask("SUCK", Words({kFlashBase, 1025}))), 7u);
    EXPECT_EQ(ErrorWord(Ask("SUCK", Words({kFlashBase - 4, 8}))), 4u);
    EXPECT_EQ(ErrorWord(Ask("VRFY", Words({SectorBase(11) + kBig - 8, 16}))), 4u);
    EXPECT_TRUE(Ask("DONE", {}).ok);
    EXPECT_EQ(ErrorWord(Ask("OPEN", OpenSector(0, kWhole))), 3u);  // SETP needed again

    auto commands = handset_->Commands();
    ASSERT_GE(commands.size(), 4u);
    EXPECT_FALSE(commands[1].crcOk);
    EXPECT_FALSE(commands[2].tailOk);
}

TEST_F(HandsetSimFlash, TransfersTheOpenSectorCannotTakeAreRefused) {
    Begin();
    Bytes data = Pattern(512, 1);
    EXPECT_EQ(ErrorWord(SendData(kFlashBase, data, data.size())), 3u);  // nothing open
    ASSERT_TRUE(Ask("OPEN", OpenSector(0, kWhole)).ok);
    EXPECT_EQ(ErrorWord(SendData(kFlashBase + kSmall - 256, data, data.size())), 4u);  // past its end
    EXPECT_EQ(ErrorWord(SendData(kFlashBase - 256, data, data.size())), 4u);           // before it
    EXPECT_EQ(ErrorWord(SendData(kFlashBase, data, data.size(), 1)), 5u);              // part checksum
    EXPECT_EQ(ErrorWord(SendData(kFlashBase, data, 100)), 6u);  // part stalls: given up after 2 s
    ASSERT_TRUE(Ask("CLOS", Words({0})).ok);
    EXPECT_EQ(handset_->Flash(kFlashBase, kSmall), Bytes(kSmall, 0xFF));  // nothing refused landed
    EXPECT_EQ(ErrorWord(Ask("CLOS", Words({0}))), 3u);
    EXPECT_EQ(ErrorWord(Ask("OPEN", Words({0, kFlashBase + 4, kSmall, kWhole, 0xFF}))), 4u);
}

TEST_F(HandsetSimFlash, OpenFlagsDecideWhatCloseLeaves) {
    Begin();
    Bytes old = Pattern(kBig, 9), data = Pattern(100, 200);
    handset_->SetFlash(SectorBase(8), old);
    handset_->SetFlash(SectorBase(9), old);
    Program(8, kPartial, SectorBase(8) + 1000, data);  // partial: old bytes kept around the data
    Bytes expected = old;
    std::copy(data.begin(), data.end(), expected.begin() + 1000);
    EXPECT_EQ(handset_->Flash(SectorBase(8), kBig), expected);
    Program(9, kWhole, SectorBase(9), data);  // whole: the rest of the sector erased
    EXPECT_EQ(handset_->Flash(SectorBase(9), 100), data);
    EXPECT_EQ(handset_->Flash(SectorBase(9) + 100, kBig - 100), Bytes(kBig - 100, 0xFF));

    // Without erase on close, CLOS only clears bits, as NOR flash does; the
    // PC must ERAS the sector before.
    handset_->SetFlash(SectorBase(0), Bytes(2 * kSmall, 0x0F));
    Program(0, kSeparateErase, SectorBase(0), Bytes(kSmall, 0xF0));
    EXPECT_EQ(handset_->Flash(SectorBase(0), kSmall), Bytes(kSmall, 0x00));
    ASSERT_TRUE(Ask("OPEN", OpenSector(1, kSeparateErase)).ok);
    ASSERT_TRUE(SendData(SectorBase(1), Bytes(kSmall, 0xF0), kSmall).ok);
    ASSERT_TRUE(Ask("ERAS", Words({1, SectorBase(1), kSmall})).ok);
    ASSERT_TRUE(Ask("CLOS", Words({1})).ok);
    EXPECT_EQ(handset_->Flash(SectorBase(1), kSmall), Bytes(kSmall, 0xF0));
}

TEST_F(HandsetSimFlash, ResetAndTheFlashFileKeepFlash) {
    testing_support::TempDir dir;
    Scenario scenario = FlashScenario();
    scenario.flashFile = dir.File("flash.bin");
    Begin(scenario);
    Bytes data = Pattern(kSmall, 5);
    Program(3, kWhole, SectorBase(3), data);
    handset_->Reset();
    EXPECT_EQ(SwitchOver(*port_, 200), 0);  // the boot ROM runs again ...
    EXPECT_TRUE(WakePassive(*port_));
    EXPECT_EQ(handset_->Flash(SectorBase(3), kSmall), data);  // ... with flash kept
    handset_->Stop();

    std::string error;
    auto next = Handset::Start(scenario, &error);
    ASSERT_TRUE(next) << error;
    EXPECT_EQ(next->Flash(SectorBase(3), kSmall), data);
    next->Stop();
    scenario.chips[0].sectorSizes.pop_back();  // other chips: the file does not fit
    EXPECT_FALSE(Handset::Start(scenario, &error));
    EXPECT_NE(error.find("flash.bin"), std::string::npos) << error;
}

TEST_F(HandsetSimFlash, SpeedChangeTakesEffectAfterTheReply) {
    Scenario scenario = FlashScenario();
    scenario.checkLineSpeed = true;
    Begin(scenario, false);
    EXPECT_EQ(ErrorWord(Ask("BAUD", Words({0, 57600}))), 11u);   // not one of its speeds
    EXPECT_EQ(ErrorWord(Ask("BAUD", Words({1, 921600}))), 11u);  // no UART1
    EXPECT_TRUE(Ask("BAUD", Words({0, 921600})).tailOk);     // still at the old speed
    port_->Write(std::string("SYNC"));  // garbled while the PC side lags behind
    EXPECT_FALSE(port_->WaitFor("syn!", 200));
    port_->SetSpeed(B921600);
    port_->Write(std::string("SYNC"));
    EXPECT_TRUE(port_->WaitFor("syn!", 500));
}

}  // namespace
