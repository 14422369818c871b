// Scenario files of the stand-in handset, the timed byte queues that pace
// its lines, and the line faults.
#include <gtest/gtest.h>

#include "support/temp_dir.h"
#include <bitset>

#include "tools/handsetsim/handsetsim.h"
#include "tools/handsetsim/line_noise.h"
#include "tools/handsetsim/timed_queue.h"

namespace {

using handsetsim::Clock;
using handsetsim::Scenario;

TEST(HandsetSimScenario, ExampleFileParses) {
    std::string here = __FILE__, error;
    std::string path = here.substr(0, here.rfind("/tests/")) + "/examples/handset.ini";
    Scenario s;
    ASSERT_TRUE(handsetsim::LoadScenario(path, &s, &error)) << error;
    ASSERT_EQ(s.chips.size(), 2u);
    const std::vector<uint32_t>& sizes = s.chips[0].sectorSizes;
    EXPECT_EQ((std::vector<uint32_t>{s.uartCount, s.chips[0].amdId, s.chips[0].amdDevice, s.chips[1].intelId,
                                     s.chips[1].start, uint32_t(sizes.size()), sizes.at(7), sizes.at(8)}),
              (std::vector<uint32_t>{2, 0x00010000, 0x227E, 0x00890000, 0x24000000, 71, 8192, 65536}));
}

// One key of every kind of value; the same key in two sections.
TEST(HandsetSimScenario, ValuesOfEveryKindReachTheirFields) {
    testing_support::TempDir dir;
    Scenario s;
    std::string error;
    const char* text =
        "[Handset]\nbootrom = passive-setup\npace = on ; note\nstart = flashloader\n# note\n"
        "[bootloader]\nversion = 1.9\ntype = 5\nidregister = none\n[setuploader]\ntype = 0x1234\n"
        "[flashloader]\nVersion = 5.12\nspeeds = 115200, 921600\nanswers = 1\n"
        "[chip0]\nnand = 0xEC,0xDA\nlayout = 128*2,64\n[faults]\nactive_verdict = F,4,5\n"
        "active_wrong_echo = 2,3\nerr = CLOS,2,3\nmarker = SUCK,6\npull_cable = 1,500\ndrop = 1e-5\nflip = 0.25\nseed = 9\n[store]\nflash = f.bin\nfiles = /tmp/x\n";
    ASSERT_TRUE(handsetsim::LoadScenario(dir.Write("handset.ini", text), &s, &error)) << error;
    const handsetsim::Faults& f = s.faults;
    EXPECT_TRUE(s.bootRom == handsetsim::BootRom::PassiveWithSetupLoader && s.paceLine &&
                s.startInFlashLoader && !s.hasIdRegister && !s.uartAnswers[0] && s.uartAnswers[1]);
    EXPECT_EQ((std::vector<uint32_t>{s.blMajor, s.blMinor, s.blType, s.slType, s.flMajor, s.flMinor,
                                     s.mobileSpeeds[1], s.mobileSpeeds[2], s.chips.at(0).nandId,
                                     s.chips[0].nandDevice, f.activeVerdictBlock, f.activeVerdictCount,
                                     f.activeWrongEchoBlock, f.activeWrongEchoCount, f.errNth, f.errCount,
                                     f.markerNth, f.pullCableUart, f.pullCableAfterBytes}),
              (std::vector<uint32_t>{1, 9, 5, 0x1234, 5, 12, 921600, 0, 0xEC0000, 0xDA, 4, 5, 2, 3, 2, 3, 6, 1, 500}));
    EXPECT_EQ(f.errCommand + f.markerCommand + f.activeVerdict, "CLOSSUCKF");
    EXPECT_TRUE(f.lineDrop == 1e-5 && f.lineFlip == 0.25 && f.lineSeed == 9);
    EXPECT_EQ(s.chips[0].sectorSizes, (std::vector<uint32_t>{131072, 131072, 65536}));
    EXPECT_EQ(s.flashFile + " " + s.filesFolder, dir.Path() + "/f.bin /tmp/x");  // beside the file
}

TEST(HandsetSimScenario, ErrorsNameFileLineAndKeyAndChangeNothing) {
    const std::pair<const char*, const char*> cases[] = {  // file text, expected error
        {"[handset]\nuarts = two\n", "handset.ini:2: [handset] uarts: expected a number"},
        {"[handset]\nuarts = 1\nbootrom = lazy\n", "handset.ini:3: [handset] bootrom: expected active"},
        {"[flashloader]\nversoin = 5.13\n", "handset.ini:2: [flashloader] versoin: unknown key"},
        {"[flashloader]\nversion = 5\n", "handset.ini:2: [flashloader] version: expected a version"},
        {"[chip0]\nlayout = 8*,64\n", "handset.ini:2: [chip0] layout: layout group \"8*\""},
        {"[chip0]\nlayout = 4096*4096\n", "[chip0] layout: a chip has at most 4095 sectors"},
        {"[chip0]\namd = 0x100,0x22\n", "handset.ini:2: [chip0] amd: expected MANUFACTURER,DEVICE"},
        {"[chip4]\nlayout = 64\n", "handset.ini:2: [chip4] layout: unknown section"},
        {"[chip1]\nlayout = 64\n", "[chip1] follows a missing chip section"},
        {"[chip0]\nstart = 0x20000000\n", "[chip0] layout: missing"},
        {"[faults]\nerr = CLOSE,1,1\n", "handset.ini:2: [faults] err: expected CODE,NTH,COUNT"},
        {"[faults]\nsecond_uart_silent = maybe\n", "[faults] second_uart_silent: expected yes or no"},
        {"[faults]\ndrop = 1.5\n", "handset.ini:2: [faults] drop: expected a probability"},
        {"[faults]\nflip = 1e-5x\n", "handset.ini:2: [faults] flip: expected a probability"},
        {"uarts = 1\n", "handset.ini:1: key before the first section"},
        {"[handset\n", "handset.ini:1: section name without ']'"},
    };
    testing_support::TempDir dir;
    std::string error;
    for (const auto& [text, expected] : cases) {
        Scenario scenario;
        scenario.uartCount = 2;
        EXPECT_FALSE(handsetsim::LoadScenario(dir.Write("handset.ini", text), &scenario, &error)) << text;
        EXPECT_NE(error.find(expected), std::string::npos) << error;
        EXPECT_EQ(error.find(dir.Path()), 0u) << error;
        EXPECT_EQ(scenario.uartCount, 2u) << "a failed load leaves the scenario alone";
    }
    Scenario scenario;
    EXPECT_FALSE(handsetsim::LoadScenario(dir.File("missing.ini"), &scenario, &error));
    EXPECT_NE(error.find("missing.ini"), std::string::npos) << error;
}

TEST(HandsetSimPacing, BytesComeOneByteTimeApartOneSpeedAtATime) {
    const Clock::time_point t0{};
    const auto byte = handsetsim::ByteTime(115200);
    EXPECT_EQ(std::chrono::duration_cast<std::chrono::nanoseconds>(byte).count(), 86805);  // 10 bits
    handsetsim::TimedQueue queue;
    const uint8_t data[10] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
    uint8_t out[20];
    queue.Push(data, 10, t0, byte);
    EXPECT_EQ(queue.Ready(t0 + byte * 4 - std::chrono::nanoseconds(1)), 3u);
    queue.Push(data, 10, t0 + byte * 2, byte);  // follows the bytes still on the line
    EXPECT_EQ(queue.Ready(t0 + byte * 15), 15u);
    EXPECT_EQ(queue.Take(out, 20, t0 + byte * 12), 12u);
    EXPECT_EQ(out[11], 1);
    queue.Clear();  // dropped bytes leave no time debt behind
    queue.Push(data, 1, t0 + byte * 14, byte);
    EXPECT_EQ(queue.Ready(t0 + byte * 15), 1u);
    queue.Clear();  // a byte lost on the line still takes its time
    queue.Push(data, 2, t0, byte);
    queue.Skip(t0, byte);
    queue.Push(data + 2, 1, t0, byte);
    EXPECT_EQ(queue.Ready(t0 + byte * 3), 2u);
    EXPECT_EQ(queue.Ready(t0 + byte * 4), 3u);
    queue.Clear();  // unpaced: there at once, but taken one speed at a time
    queue.Push(data, 2, t0, Clock::duration::zero(), 115200);
    queue.Push(data + 2, 2, t0, Clock::duration::zero(), 921600);
    EXPECT_EQ(queue.Take(out, 4, t0), 2u);
    EXPECT_EQ(queue.HeadTag(), 921600u);
    EXPECT_EQ(queue.Take(out, 4, t0), 2u);
    EXPECT_TRUE(out[1] == 3 && queue.Empty());
}

// Faults land at their rates, a flip changes exactly one bit, and the same
// seed and stream give the same faults (another stream others).
TEST(HandsetSimLineNoise, SeededFaultsAtTheirRatesCountedAndRepeatable) {
    constexpr int kBytes = 200000;
    handsetsim::LineNoise noise, again, other;
    noise.Configure(0.01, 0.05, 7, 0);
    again.Configure(0.01, 0.05, 7, 0);
    other.Configure(0.01, 0.05, 7, 1);
    int differentFates = 0;
    uint64_t lost = 0, flipped = 0;
    for (int i = 0; i < kBytes; ++i) {
        uint8_t byte = static_cast<uint8_t>(i), copy = byte, third = byte;
        const auto fate = noise.Pass(&byte);
        EXPECT_EQ(again.Pass(&copy), fate);
        EXPECT_EQ(copy, byte);
        differentFates += other.Pass(&third) != fate;
        const size_t bits = std::bitset<8>(byte ^ static_cast<uint8_t>(i)).count();
        EXPECT_EQ(bits, fate == handsetsim::LineNoise::Fate::Flipped ? 1u : 0u);
        lost += fate == handsetsim::LineNoise::Fate::Dropped;
        flipped += fate == handsetsim::LineNoise::Fate::Flipped;
    }
    EXPECT_EQ(noise.Counts().dropped, lost);
    EXPECT_EQ(noise.Counts().flipped, flipped);
    EXPECT_NEAR(static_cast<double>(lost) / kBytes, 0.01, 0.001);
    EXPECT_NEAR(static_cast<double>(flipped) / kBytes, 0.05, 0.002);
    EXPECT_GT(differentFates, 1000);
    noise.SetRates(0, 0);
    uint8_t byte = 0x5A;
    EXPECT_FALSE(noise.Active());
    EXPECT_EQ(noise.Pass(&byte), handsetsim::LineNoise::Fate::Kept);
}

}  // namespace
