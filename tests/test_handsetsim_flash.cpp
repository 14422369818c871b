// The stand-in handset's flash loader: what it must refuse of a faulty
// library, what OPEN's flags make CLOS leave in flash, and flash kept over
// a reset and a restart. The normal paths run in the library's own tests.
#include <gtest/gtest.h>

#include "flashdll/link/crc32.h"
#include "support/handsetsim_client.h"
#include "support/temp_dir.h"

namespace {

using handsetsim::Scenario;
using namespace handsetsim_test;

constexpr uint32_t kSmall = 8192, kBig = 65536;
constexpr uint32_t kWhole = 0x11, kPartial = 0x13, kSeparateErase = 0x18;  // OPEN flags
const Bytes kSetup = Words({1, 0x227E, 0, 0, 0, 0, 0, 0, 0});

uint32_t Base(uint32_t s) { return s < 8 ? kFlashBase + s * kSmall : kFlashBase + 8 * kSmall + (s - 8) * kBig; }
Bytes OpenSector(uint32_t s, uint32_t flags) { return Words({s, Base(s), s < 8 ? kSmall : kBig, flags, 0xFF}); }

class HandsetSimFlash : public HandsetTest {
protected:
    // TXDT of `data` as one part on UART0 of which only `sent` bytes follow.
    Reply SendData(uint32_t address, const Bytes& data, size_t sent, uint32_t crcFlip = 0) {
        uint32_t size = static_cast<uint32_t>(data.size()), crc = Crc32(data.data(), size) ^ crcFlip;
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
};

TEST_F(HandsetSimFlash, BrokenOversizedAndEarlyCommandsAreRefused) {
    Begin(FlashScenario(), false);
    Bytes range = Words({kFlashBase, 16}), spoilt = Frame("VRFY", range);
    EXPECT_EQ(ErrorWord(Ask("VRFY", range)), 3u);  // no SETP yet
    spoilt[9] ^= 0x40;
    port_->Write(spoilt);
    port_->Write(Frame("DONE", {}, "EOT,"));
    // A length beyond the TX size is refused at once: what follows is the
    // next command, not a payload to wait for.
    port_->Write(Text("VRFY") + Words({FlashScenario().maxTx + 0x10000}));
    port_->Write(Frame("SETP", Words({1, 0x1234, 0, 0, 0, 0, 0, 0, 0})));  // a chip not reported
    for (uint32_t expected : {1, 1, 1, 9}) {
        Reply reply;
        ASSERT_TRUE(ReadReply(*port_, &reply));
        EXPECT_EQ(ErrorWord(reply), expected);
        EXPECT_TRUE(reply.crcOk && reply.tailOk);
    }
    EXPECT_EQ(ErrorWord(Ask("VRFY", range)), 3u);
    ASSERT_TRUE(Ask("SETP", kSetup).ok);
    EXPECT_TRUE(Ask("VRFY", range).ok);
    EXPECT_TRUE(Ask("SUCK", Words({kFlashBase, 0x2000})).ok);  // the loader's RX size
    EXPECT_EQ(ErrorWord(Ask("SUCK", Words({kFlashBase, 0x2001}))), 7u);
    EXPECT_EQ(ErrorWord(Ask("SUCK", Words({kFlashBase - 4, 8}))), 4u);
    EXPECT_EQ(ErrorWord(Ask("VRFY", Words({Base(11) + kBig - 8, 16}))), 4u);
    EXPECT_TRUE(Ask("DONE", {}).ok);
    EXPECT_EQ(ErrorWord(Ask("OPEN", OpenSector(0, kWhole))), 3u);  // SETP needed again
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
    Bytes old = Pattern(kBig, 9), data = Pattern(100, 200), expected = old;
    handset_->SetFlash(Base(8), old);
    handset_->SetFlash(Base(9), old);
    Program(8, kPartial, Base(8) + 1000, data);  // partial: the old bytes around the data stay
    std::copy(data.begin(), data.end(), expected.begin() + 1000);
    EXPECT_EQ(handset_->Flash(Base(8), kBig), expected);
    Program(9, kWhole, Base(9), data);  // whole: the rest of the sector is erased
    EXPECT_EQ(handset_->Flash(Base(9), 100), data);
    EXPECT_EQ(handset_->Flash(Base(9) + 100, kBig - 100), Bytes(kBig - 100, 0xFF));

    // Without erase on close, CLOS only clears bits, as NOR flash does: the
    // PC must ERAS the sector first.
    handset_->SetFlash(Base(0), Bytes(2 * kSmall, 0x0F));
    Program(0, kSeparateErase, Base(0), Bytes(kSmall, 0xF0));
    EXPECT_EQ(handset_->Flash(Base(0), kSmall), Bytes(kSmall, 0x00));
    ASSERT_TRUE(Ask("OPEN", OpenSector(1, kSeparateErase)).ok);
    ASSERT_TRUE(SendData(Base(1), Bytes(kSmall, 0xF0), kSmall).ok);
    ASSERT_TRUE(Ask("ERAS", Words({1, Base(1), kSmall})).ok);
    ASSERT_TRUE(Ask("CLOS", Words({1})).ok);
    EXPECT_EQ(handset_->Flash(Base(1), kSmall), Bytes(kSmall, 0xF0));
}

TEST_F(HandsetSimFlash, ResetAndTheFlashFileKeepFlash) {
    testing_support::TempDir dir;
    Scenario scenario = FlashScenario();
    scenario.flashFile = dir.File("flash.bin");
    Begin(scenario);
    Bytes data = Pattern(kSmall, 5);
    Program(3, kWhole, Base(3), data);
    handset_->Reset();
    EXPECT_FALSE(SwitchOver(*port_, 200));  // the boot ROM runs again ...
    EXPECT_TRUE(WakePassive(*port_));
    EXPECT_EQ(handset_->Flash(Base(3), kSmall), data);  // ... and flash is kept
    handset_->Stop();
    std::string error;
    auto next = handsetsim::Handset::Start(scenario, &error);
    ASSERT_TRUE(next) << error;
    EXPECT_EQ(next->Flash(Base(3), kSmall), data);
    next->Stop();
    scenario.chips[0].sectorSizes.pop_back();  // other chips: the file does not fit
    EXPECT_FALSE(handsetsim::Handset::Start(scenario, &error));
    EXPECT_NE(error.find("flash.bin"), std::string::npos) << error;
}

}  // namespace
