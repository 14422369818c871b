// The stand-in handset's flash loader: frames, INFO, the switch-over, the
// flash model behind OPEN/TXDT/CLOS/ERAS/VRFY/SUCK, faults, and the way back
// to the boot ROM. Driven with raw bytes from the PC side.
#include <gtest/gtest.h>

#include <cstdio>

#include "flashdll/loader/crc32.h"
#include "support/handsetsim_client.h"
#include "support/temp_dir.h"

namespace {

using handsetsim::Handset;
using handsetsim::Scenario;
using handsetsim_test::Append;
using handsetsim_test::Bytes;
using handsetsim_test::Exchange;
using handsetsim_test::FlReply;
using handsetsim_test::kFlashBase;
using handsetsim_test::PcPort;
using handsetsim_test::WordAt;
using handsetsim_test::Words;

constexpr uint32_t kSmallSector = 8192, kBigSector = 65536;
constexpr uint32_t kBigSectorBase = kFlashBase + 8 * kSmallSector;  // chip 0, sector 8
constexpr uint32_t kWholeSector = 0x11, kPartialSector = 0x13, kSeparateErase = 0x18;

Bytes Pattern(size_t count, uint8_t seed) {
    Bytes bytes(count);
    for (size_t i = 0; i < count; ++i) {
        bytes[i] = static_cast<uint8_t>(seed + i * 13 + (i >> 8));
    }
    return bytes;
}

uint32_t Crc(const Bytes& bytes) {
    return Crc32(bytes.data(), bytes.size());
}

Bytes SetupPayload() {
    return Words({1, 0x227E, 0x01000000, 0, 0, 0, 0, 0, 0});
}

Bytes OpenPayload(uint32_t sector, uint32_t address, uint32_t size, uint32_t flags) {
    return Words({sector, address, size, flags, 0xFF});
}

// A TXDT frame for `data` at `address`, split at `split` into a part for
// `uart0` and (when split < size) a part for `uart1`.
Bytes TxdtPayload(uint32_t address, const Bytes& data, size_t split, uint32_t uart0 = 0,
                  uint32_t uart1 = 1) {
    Bytes first(data.begin(), data.begin() + split), second(data.begin() + split, data.end());
    uint32_t parts = second.empty() ? 1 : 2;
    Bytes payload = Words({address, static_cast<uint32_t>(data.size()), 1, parts});
    Append(&payload, Words({uart0, 0, static_cast<uint32_t>(first.size()), Crc(first)}));
    if (parts == 2) {
        Append(&payload, Words({uart1, static_cast<uint32_t>(split), static_cast<uint32_t>(second.size()),
                                Crc(second)}));
    } else {
        Append(&payload, Words({0, 0, 0, 0}));
    }
    return payload;
}

// One UART: the frame and its single part.
FlReply SendData(PcPort& port, uint32_t address, const Bytes& data) {
    port.Write(handsetsim_test::FlashCommand("TXDT", TxdtPayload(address, data, data.size())));
    port.Write(data);
    FlReply reply;
    handsetsim_test::ReadFlReply(port, &reply);
    return reply;
}

class FlashLoaderTest : public ::testing::Test {
protected:
    void Begin(const Scenario& scenario) {
        std::string error;
        handset_ = Handset::Start(scenario, &error);
        ASSERT_TRUE(handset_) << error;
        port_ = std::make_unique<PcPort>(handset_->UartPath(0));
        ASSERT_EQ(handsetsim_test::SwitchOver(*port_), 'A');
        port_->Discard();
    }
    void BeginSetUp(const Scenario& scenario = handsetsim_test::FlashScenario()) {
        Begin(scenario);
        ASSERT_TRUE(Exchange(*port_, "SETP", SetupPayload()).ok);
    }
    // OPEN, one TXDT, CLOS.
    void Program(uint32_t sector, uint32_t address, uint32_t size, uint32_t flags, uint32_t at,
                 const Bytes& data) {
        ASSERT_TRUE(Exchange(*port_, "OPEN", OpenPayload(sector, address, size, flags)).ok);
        ASSERT_TRUE(SendData(*port_, at, data).ok);
        ASSERT_TRUE(Exchange(*port_, "CLOS", Words({sector})).ok);
    }
    FlReply Ask(const std::string& code, const Bytes& payload) { return Exchange(*port_, code, payload); }

    std::unique_ptr<Handset> handset_;
    std::unique_ptr<PcPort> port_;
};

// The error word of a "-err" reply.
uint32_t ErrorWord(const FlReply& reply) {
    EXPECT_FALSE(reply.ok);
    EXPECT_EQ(reply.data.size(), 20u);
    return WordAt(reply.data, 0);
}

// ---------------------------------------------------------------- frames

TEST_F(FlashLoaderTest, InfoReplyCarriesVersionChipsLimitsAndSpeeds) {
    Scenario scenario = handsetsim_test::FlashScenario();
    scenario.chips.push_back(scenario.chips[0]);
    scenario.chips[1].start = 0x24000000;
    scenario.chips[1].amdId = 0;
    scenario.chips[1].amdDevice = 0;
    scenario.chips[1].intelId = 0x89 << 16;
    scenario.chips[1].intelDevice = 0x8817;
    scenario.maxTx = 0x8000;
    scenario.maxRx = 0x1000;
    Begin(scenario);
    FlReply info = Ask("INFO", Bytes(56, 0));
    ASSERT_TRUE(info.ok);
    EXPECT_TRUE(info.crcOk && info.tailOk);
    EXPECT_EQ(info.echo, "INFO");
    ASSERT_EQ(info.data.size(), 148u);
    EXPECT_EQ(WordAt(info.data, 0), 0x050Du);
    EXPECT_EQ(WordAt(info.data, 1), 2u);
    EXPECT_EQ(WordAt(info.data, 2), 0x00010000u);
    EXPECT_EQ(WordAt(info.data, 3), 0x227Eu);
    EXPECT_EQ(WordAt(info.data, 8), kFlashBase);
    EXPECT_EQ(WordAt(info.data, 9 + 2), 0x00890000u);
    EXPECT_EQ(WordAt(info.data, 9 + 3), 0x8817u);
    EXPECT_EQ(WordAt(info.data, 9 + 6), 0x24000000u);
    for (size_t word = 16; word < 30; ++word) {
        EXPECT_EQ(WordAt(info.data, word), 0u) << word;  // empty chip slots
    }
    EXPECT_EQ(WordAt(info.data, 30), 0x8000u);
    EXPECT_EQ(WordAt(info.data, 31), 0x1000u);
    EXPECT_EQ(WordAt(info.data, 32), 115200u);
    EXPECT_EQ(WordAt(info.data, 35), 921600u);
    EXPECT_EQ(WordAt(info.data, 36), 0u);

    FlReply shortRequest = Ask("INFO", Bytes(52, 0));
    EXPECT_EQ(ErrorWord(shortRequest), 2u);
    EXPECT_EQ(WordAt(shortRequest.data, 1), 0x4F464E49u);  // "INFO"
}

TEST_F(FlashLoaderTest, BrokenFramesAndEarlyCommandsGetErrors) {
    Begin(handsetsim_test::FlashScenario());
    Bytes frame = handsetsim_test::FlashCommand("VRFY", Words({kFlashBase, 16}));
    frame[9] ^= 0x40;  // payload byte spoilt
    port_->Write(frame);
    FlReply reply;
    ASSERT_TRUE(handsetsim_test::ReadFlReply(*port_, &reply));
    EXPECT_EQ(ErrorWord(reply), 1u);
    EXPECT_TRUE(reply.crcOk && reply.tailOk);

    port_->Write(handsetsim_test::Frame("DONE", {}, "EOT,"));
    ASSERT_TRUE(handsetsim_test::ReadFlReply(*port_, &reply));
    EXPECT_EQ(ErrorWord(reply), 1u);

    // Flash commands need SETP first, and again after DONE.
    EXPECT_EQ(ErrorWord(Ask("VRFY", Words({kFlashBase, 16}))), 3u);
    ASSERT_TRUE(Ask("SETP", SetupPayload()).ok);
    EXPECT_TRUE(Ask("VRFY", Words({kFlashBase, 16})).ok);
    EXPECT_TRUE(Ask("DONE", {}).ok);
    EXPECT_EQ(ErrorWord(Ask("OPEN", OpenPayload(0, kFlashBase, kSmallSector, kWholeSector))), 3u);
    // SETP naming a chip the loader did not report is refused.
    EXPECT_EQ(ErrorWord(Ask("SETP", Words({1, 0x1234, 0, 0, 0, 0, 0, 0, 0}))), 9u);

    auto commands = handset_->Commands();
    ASSERT_GE(commands.size(), 2u);
    EXPECT_FALSE(commands[0].crcOk);
    EXPECT_FALSE(commands[1].tailOk);
}

TEST_F(FlashLoaderTest, SyncAndSwitchOverOnBothUarts) {
    Begin(handsetsim_test::FlashScenario(2));
    PcPort second(handset_->UartPath(1));
    port_->Write(std::string("xxSYNC"));
    EXPECT_TRUE(port_->WaitFor("syn!", 1000));
    EXPECT_EQ(handsetsim_test::SwitchOver(second), 'B');
    EXPECT_EQ(handset_->CountCommands("SYNC"), 1u);
    EXPECT_TRUE(handset_->FlashLoaderRunning());
}

TEST_F(FlashLoaderTest, SecondUartSilentInTheConnectionTest) {
    Scenario scenario = handsetsim_test::FlashScenario(2);
    scenario.faults.secondUartSilent = true;
    Begin(scenario);
    EXPECT_TRUE(Ask("CHKC", Words({0x12345678})).ok);
    PcPort second(handset_->UartPath(1));
    EXPECT_EQ(handsetsim_test::SwitchOver(second, 200), 0);
    EXPECT_EQ(ErrorWord(Ask("CHKC", Words({0x12345679}))), 2u);
}

// ---------------------------------------------------------------- flash

TEST_F(FlashLoaderTest, ProgrammedSectorReadsAndVerifiesBack) {
    BeginSetUp();
    Bytes data = Pattern(kSmallSector, 3);
    Program(1, kFlashBase + kSmallSector, kSmallSector, kWholeSector, kFlashBase + kSmallSector, data);

    FlReply read = Ask("SUCK", Words({kFlashBase + kSmallSector, kSmallSector}));
    ASSERT_TRUE(read.ok);
    EXPECT_TRUE(read.crcOk);
    EXPECT_EQ(read.data, data);
    FlReply verify = Ask("VRFY", Words({kFlashBase + kSmallSector + 100, 1000}));
    ASSERT_TRUE(verify.ok);
    EXPECT_EQ(WordAt(verify.data, 0), Crc(Bytes(data.begin() + 100, data.begin() + 1100)));
    EXPECT_EQ(handset_->Flash(kFlashBase + kSmallSector, kSmallSector), data);
    EXPECT_EQ(handset_->Flash(kFlashBase, 4), Bytes(4, 0xFF));  // sector 0 untouched
}

TEST_F(FlashLoaderTest, TransferSplitOverTwoUarts) {
    BeginSetUp(handsetsim_test::FlashScenario(2));
    PcPort second(handset_->UartPath(1));
    // The command goes over UART1 and the first part over UART0, as when the
    // faster port is the second one.
    ASSERT_TRUE(Exchange(second, "OPEN", OpenPayload(8, kBigSectorBase, kBigSector, kWholeSector)).ok);
    Bytes data = Pattern(3000, 42);
    second.Write(handsetsim_test::FlashCommand("TXDT", TxdtPayload(kBigSectorBase + 4, data, 1980, 0, 1)));
    port_->Write(Bytes(data.begin(), data.begin() + 1980));
    second.Write(Bytes(data.begin() + 1980, data.end()));
    FlReply reply;
    ASSERT_TRUE(handsetsim_test::ReadFlReply(second, &reply));
    EXPECT_TRUE(reply.ok);
    ASSERT_TRUE(Exchange(second, "CLOS", Words({8})).ok);
    EXPECT_EQ(handset_->Flash(kBigSectorBase + 4, 3000), data);
    EXPECT_EQ(handset_->Flash(kBigSectorBase, 4), Bytes(4, 0xFF));
}

TEST_F(FlashLoaderTest, PartialOpenKeepsOldBytesWholeOpenDoesNot) {
    BeginSetUp();
    Bytes old = Pattern(kBigSector, 9);
    handset_->SetFlash(kBigSectorBase, old);
    handset_->SetFlash(kBigSectorBase + kBigSector, old);
    Bytes data = Pattern(100, 200);

    Program(8, kBigSectorBase, kBigSector, kPartialSector, kBigSectorBase + 1000, data);
    Bytes expected = old;
    std::copy(data.begin(), data.end(), expected.begin() + 1000);
    EXPECT_EQ(handset_->Flash(kBigSectorBase, kBigSector), expected);

    Program(9, kBigSectorBase + kBigSector, kBigSector, kWholeSector, kBigSectorBase + kBigSector, data);
    Bytes rest = handset_->Flash(kBigSectorBase + kBigSector + 100, kBigSector - 100);
    EXPECT_EQ(rest, Bytes(kBigSector - 100, 0xFF));
}

TEST_F(FlashLoaderTest, SeparateEraseOpenNeedsErasBeforeClose) {
    BeginSetUp();
    handset_->SetFlash(kFlashBase, Bytes(kSmallSector, 0x0F));
    handset_->SetFlash(kFlashBase + kSmallSector, Bytes(kSmallSector, 0x0F));
    Bytes data(kSmallSector, 0xF0);

    // Without ERAS the close only programs: bits already 0 stay 0.
    Program(0, kFlashBase, kSmallSector, kSeparateErase, kFlashBase, data);
    EXPECT_EQ(handset_->Flash(kFlashBase, 4), Bytes(4, 0x00));

    ASSERT_TRUE(Ask("OPEN", OpenPayload(1, kFlashBase + kSmallSector, kSmallSector, kSeparateErase)).ok);
    ASSERT_TRUE(SendData(*port_, kFlashBase + kSmallSector, data).ok);
    ASSERT_TRUE(Ask("ERAS", Words({1, kFlashBase + kSmallSector, kSmallSector})).ok);
    ASSERT_TRUE(Ask("CLOS", Words({1})).ok);
    EXPECT_EQ(handset_->Flash(kFlashBase + kSmallSector, kSmallSector), data);
}

TEST_F(FlashLoaderTest, TransfersThatCannotBeTakenAreRefused) {
    BeginSetUp();
    Bytes data = Pattern(512, 1);
    EXPECT_EQ(ErrorWord(SendData(*port_, kFlashBase, data)), 3u);  // no open sector
    ASSERT_TRUE(Ask("OPEN", OpenPayload(0, kFlashBase, kSmallSector, kWholeSector)).ok);
    EXPECT_EQ(ErrorWord(SendData(*port_, kFlashBase + kSmallSector - 256, data)), 4u);

    Bytes payload = TxdtPayload(kFlashBase, data, data.size());
    payload[28] ^= 0xFF;  // the part's checksum no longer matches
    port_->Write(handsetsim_test::FlashCommand("TXDT", payload));
    port_->Write(data);
    FlReply reply;
    ASSERT_TRUE(handsetsim_test::ReadFlReply(*port_, &reply));
    EXPECT_EQ(ErrorWord(reply), 5u);

    // A part that never comes: the loader gives up and says so.
    port_->Write(handsetsim_test::FlashCommand("TXDT", TxdtPayload(kFlashBase, data, data.size())));
    port_->Write(Bytes(data.begin(), data.begin() + 100));
    ASSERT_TRUE(handsetsim_test::ReadFlReply(*port_, &reply, 4000));
    EXPECT_EQ(ErrorWord(reply), 6u);

    ASSERT_TRUE(Ask("CLOS", Words({0})).ok);
    EXPECT_EQ(handset_->Flash(kFlashBase, kSmallSector), Bytes(kSmallSector, 0xFF));
    EXPECT_EQ(ErrorWord(Ask("CLOS", Words({0}))), 3u);  // nothing open any more
    EXPECT_EQ(ErrorWord(Ask("OPEN", OpenPayload(0, kFlashBase + 4, kSmallSector, kWholeSector))), 4u);
}

TEST_F(FlashLoaderTest, ReadAndVerifyLimits) {
    Scenario scenario = handsetsim_test::FlashScenario();
    scenario.maxRx = 1024;
    BeginSetUp(scenario);
    EXPECT_TRUE(Ask("SUCK", Words({kFlashBase, 1024})).ok);
    EXPECT_EQ(ErrorWord(Ask("SUCK", Words({kFlashBase, 1025}))), 7u);
    EXPECT_EQ(ErrorWord(Ask("SUCK", Words({kFlashBase - 4, 8}))), 4u);
    EXPECT_EQ(ErrorWord(Ask("VRFY", Words({kBigSectorBase + 4 * kBigSector - 8, 16}))), 4u);
}

// ---------------------------------------------------------------- faults

TEST_F(FlashLoaderTest, ErrorSilenceAndMarkerFaults) {
    Scenario scenario = handsetsim_test::FlashScenario();
    scenario.faults.errCommand = "VRFY";
    scenario.faults.errNth = 2;
    scenario.faults.errCount = 2;
    scenario.faults.silentCommand = "SUCK";
    scenario.faults.silentNth = 1;
    scenario.faults.markerCommand = "SYNC";
    scenario.faults.markerNth = 1;
    BeginSetUp(scenario);
    Bytes range = Words({kFlashBase, 64});
    std::vector<bool> answers;
    for (int i = 0; i < 4; ++i) {
        answers.push_back(Ask("VRFY", range).ok);
    }
    EXPECT_EQ(answers, (std::vector<bool>{true, false, false, true}));

    port_->Write(handsetsim_test::FlashCommand("SUCK", range));
    FlReply reply;
    EXPECT_FALSE(handsetsim_test::ReadFlReply(*port_, &reply, 200));
    EXPECT_TRUE(Ask("SUCK", range).ok);

    port_->Write(std::string("SYNC"));
    EXPECT_EQ(port_->Read(4, 500), (Bytes{'?', '!', '!', '?'}));
    port_->Write(std::string("SYNC"));
    EXPECT_TRUE(port_->WaitFor("syn!", 500));
}

TEST_F(FlashLoaderTest, SpoiltChecksumFault) {
    Scenario scenario = handsetsim_test::FlashScenario();
    scenario.faults.badCrcCommand = "VRFY";
    scenario.faults.badCrcNth = 1;
    BeginSetUp(scenario);
    FlReply first = Ask("VRFY", Words({kFlashBase, 64}));
    EXPECT_TRUE(first.ok);
    EXPECT_FALSE(first.crcOk);
    EXPECT_TRUE(Ask("VRFY", Words({kFlashBase, 64})).crcOk);
}

// Checks the message and dump frames ahead of a reply; returns how many of
// each it found, all with sound checksums and tails.
void CountFrames(const Bytes& before, int* messages, int* dumps) {
    *messages = *dumps = 0;
    for (size_t i = 0; i + 8 <= before.size(); ++i) {
        std::string tag(before.begin() + i, before.begin() + i + 4);
        if (tag != "*msg" && tag != "*dmp") {
            continue;
        }
        size_t at = i + 4 + (tag == "*dmp" ? 8 : 0);
        uint32_t length = WordAt(Bytes(before.begin() + at, before.begin() + at + 4), 0);
        Bytes body(before.begin() + at + 4, before.begin() + at + 4 + length);
        Bytes tail(before.begin() + at + 4 + length, before.begin() + at + 12 + length);
        ASSERT_EQ(WordAt(tail, 0), Crc(body));
        std::string end(tail.begin() + 4, tail.end());
        EXPECT_EQ(end, tag == "*msg" ? "msg." : "dmp.");
        ++(tag == "*msg" ? *messages : *dumps);
    }
}

TEST_F(FlashLoaderTest, MessagesDumpsAndNoiseBeforeEveryReply) {
    Scenario scenario = handsetsim_test::FlashScenario();
    scenario.faults.messagesBeforeReply = 3;
    scenario.faults.dumpsBeforeReply = 1;
    scenario.faults.noiseBeforeReply = 9;
    BeginSetUp(scenario);
    FlReply reply = Ask("VRFY", Words({kFlashBase, 64}));
    EXPECT_TRUE(reply.ok && reply.crcOk && reply.tailOk);
    int messages = 0, dumps = 0;
    CountFrames(reply.before, &messages, &dumps);
    EXPECT_EQ(messages, 3);
    EXPECT_EQ(dumps, 1);
}

// ---------------------------------------------------------------- speed

TEST_F(FlashLoaderTest, BaudChangesTheUartAfterTheReply) {
    Scenario scenario = handsetsim_test::FlashScenario();
    scenario.checkLineSpeed = true;
    Begin(scenario);
    EXPECT_EQ(ErrorWord(Ask("BAUD", Words({0, 57600}))), 11u);  // not one of its speeds
    EXPECT_EQ(ErrorWord(Ask("BAUD", Words({1, 921600}))), 11u);  // no UART1
    FlReply reply = Ask("BAUD", Words({0, 921600}));
    EXPECT_TRUE(reply.ok && reply.tailOk);  // still at the old speed

    port_->Write(std::string("SYNC"));  // the PC side has not followed yet
    EXPECT_FALSE(port_->WaitFor("syn!", 200));
    port_->SetSpeed(B921600);
    port_->Write(std::string("SYNC"));
    EXPECT_TRUE(port_->WaitFor("syn!", 500));
}

// ---------------------------------------------------------------- lifetime

TEST_F(FlashLoaderTest, ClosingByteAndResetReturnToTheBootRomKeepingFlash) {
    BeginSetUp();
    Bytes data = Pattern(kSmallSector, 77);
    Program(2, kFlashBase + 2 * kSmallSector, kSmallSector, kWholeSector, kFlashBase + 2 * kSmallSector, data);
    port_->Write(Bytes{'o'});
    EXPECT_TRUE(handsetsim_test::WakePassive(*port_));  // the boot ROM answers pings again
    EXPECT_FALSE(handset_->FlashLoaderRunning());
    EXPECT_EQ(handset_->Flash(kFlashBase + 2 * kSmallSector, kSmallSector), data);

    Scenario scenario = handsetsim_test::FlashScenario();
    handset_->Reset();
    EXPECT_EQ(handsetsim_test::SwitchOver(*port_, 200), 0);
    EXPECT_TRUE(handsetsim_test::WakePassive(*port_));
    EXPECT_EQ(handset_->Flash(kFlashBase + 2 * kSmallSector, kSmallSector), data);
}

TEST_F(FlashLoaderTest, FlashFileCarriesContentsToTheNextHandset) {
    testing_support::TempDir dir;
    Scenario scenario = handsetsim_test::FlashScenario();
    scenario.flashFile = dir.File("flash.bin");
    BeginSetUp(scenario);
    Bytes data = Pattern(kSmallSector, 5);
    Program(3, kFlashBase + 3 * kSmallSector, kSmallSector, kWholeSector, kFlashBase + 3 * kSmallSector, data);
    handset_->Stop();
    handset_.reset();

    std::string error;
    auto next = Handset::Start(scenario, &error);
    ASSERT_TRUE(next) << error;
    EXPECT_EQ(next->Flash(kFlashBase + 3 * kSmallSector, kSmallSector), data);
    next->Stop();

    scenario.chips[0].sectorSizes.pop_back();  // other chips: the file does not fit
    EXPECT_FALSE(Handset::Start(scenario, &error));
    EXPECT_NE(error.find("flash.bin"), std::string::npos);
}

TEST_F(FlashLoaderTest, SyncInsideAStalledFrameIsAnswered) {
    BeginSetUp();
    Bytes frame = handsetsim_test::FlashCommand("VRFY", Words({kFlashBase, 16}));
    frame.resize(12);  // the PC stops in the middle of the payload ...
    port_->Write(frame);
    port_->Write(std::string("SYNC"));  // ... and asks to resynchronise
    EXPECT_TRUE(port_->WaitFor("syn!", 3000));
    EXPECT_TRUE(Ask("VRFY", Words({kFlashBase, 16})).ok);
}

}  // namespace
