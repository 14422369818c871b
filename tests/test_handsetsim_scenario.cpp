// Scenario files of the stand-in handset, and its pure helpers: the timed
// byte queues that pace its lines and the code words of its frames.
#include <gtest/gtest.h>

#include "support/temp_dir.h"
#include "tools/handsetsim/frames.h"
#include "tools/handsetsim/handsetsim.h"
#include "tools/handsetsim/timed_queue.h"

namespace {

using handsetsim::Clock;
using handsetsim::Scenario;

TEST(HandsetSimScenario, ExampleFileParses) {
    std::string here = __FILE__, error;
    Scenario scenario;
    ASSERT_TRUE(handsetsim::LoadScenario(here.substr(0, here.rfind("/tests/")) + "/examples/handset.ini",
                                         &scenario, &error))
        << error;
    EXPECT_EQ(scenario.uartCount, 2u);
    ASSERT_EQ(scenario.chips.size(), 2u);
    EXPECT_EQ(scenario.chips[0].amdId, 0x00010000u);
    EXPECT_EQ(scenario.chips[0].amdDevice, 0x227Eu);
    ASSERT_EQ(scenario.chips[0].sectorSizes.size(), 71u);
    EXPECT_EQ(scenario.chips[0].sectorSizes[7], 8192u);
    EXPECT_EQ(scenario.chips[0].sectorSizes[8], 65536u);
    EXPECT_EQ(scenario.chips[1].intelId, 0x00890000u);
    EXPECT_EQ(scenario.chips[1].start, 0x24000000u);
}

TEST(HandsetSimScenario, EveryKeyReachesItsField) {
    testing_support::TempDir dir;
    Scenario s;
    std::string error;
    ASSERT_TRUE(handsetsim::LoadScenario(
        dir.Write("handset.ini",
                  "[Handset]\nuarts = 1\nbootrom = passive-setup\npace = yes\ncheckspeed = on\n"
                  "start = flashloader ; comment\n"
                  "[bootloader]\nversion = 1.9\ntype = 5\nflag = true\nrommask = 0x41424344\n"
                  "uart = 0\nmaxtransfer = 4353\nidregister = none\n"
                  "[setuploader]\nversion = 3.2\ntype = 0x1234\nmaxtransfer = 1000\n"
                  "# comment\n[flashloader]\nVersion = 5.12\nmaxtx = 8192\nmaxrx = 0x800\n"
                  "speeds = 115200, 921600\nanswers = 1\n"
                  "[chip0]\nnand = 0xEC,0xDA\nstart = 0x30000000\nlayout = 128*2,64\n"
                  "[faults]\nboot_silent = yes\nactive_no_z = 1\nactive_byte_after_z = 0x51\n"
                  "active_wrong_echo = 2,3\nactive_verdict = F,4,5\nnack_data = 6,7\n"
                  "noise_before_reply = 8\nerr = CLOS,2,3\nsilent = VRFY,4,5\nmarker = SUCK,6\n"
                  "bad_crc = INFO,7\nmessages_before_reply = 2\ndumps_before_reply = 1\n"
                  "second_uart_silent = yes\nfile_open_fails = yes\nfile_write_short = yes\n"
                  "check_file_size_fails = yes\n"
                  "[store]\nflash = flash.bin\nfiles = /tmp/handset-files\n"),
        &s, &error))
        << error;
    EXPECT_TRUE(s.uartCount == 1 && s.bootRom == handsetsim::BootRom::PassiveWithSetupLoader);
    EXPECT_TRUE(s.paceLine && s.checkLineSpeed && s.startInFlashLoader && s.blFlag && !s.hasIdRegister);
    EXPECT_EQ((std::vector<uint32_t>{s.blMajor, s.blMinor, s.blType, s.romMaskId, s.blMaxTransfer}),
              (std::vector<uint32_t>{1, 9, 5, 0x41424344, 4353}));
    EXPECT_EQ((std::vector<uint32_t>{s.slMajor, s.slMinor, s.slType, s.slMaxTransfer, s.flMajor, s.flMinor,
                                     s.maxTx, s.maxRx, s.mobileSpeeds[0], s.mobileSpeeds[1], s.mobileSpeeds[2]}),
              (std::vector<uint32_t>{3, 2, 0x1234, 1000, 5, 12, 8192, 0x800, 115200, 921600, 0}));
    EXPECT_TRUE(!s.uartAnswers[0] && s.uartAnswers[1]);
    ASSERT_EQ(s.chips.size(), 1u);
    EXPECT_EQ((std::vector<uint32_t>{s.chips[0].nandId, s.chips[0].nandDevice, s.chips[0].start}),
              (std::vector<uint32_t>{0x00EC0000, 0xDA, 0x30000000}));
    EXPECT_EQ(s.chips[0].sectorSizes, (std::vector<uint32_t>{131072, 131072, 65536}));
    const handsetsim::Faults& f = s.faults;
    EXPECT_TRUE(f.bootSilent && f.activeNoZ && f.secondUartSilent && f.fileOpenFails && f.fileWriteShort &&
                f.checkFileSizeFails && f.activeVerdict == 'F');
    EXPECT_EQ((std::vector<uint32_t>{f.activeByteAfterZ, f.activeWrongEchoBlock, f.activeWrongEchoCount,
                                     f.activeVerdictBlock, f.activeVerdictCount, f.passiveNackDataNth,
                                     f.passiveNackDataCount, f.noiseBeforeReply, f.errNth, f.errCount,
                                     f.silentNth, f.silentCount, f.markerNth, f.badCrcNth,
                                     f.messagesBeforeReply, f.dumpsBeforeReply}),
              (std::vector<uint32_t>{0x51, 2, 3, 4, 5, 6, 7, 8, 2, 3, 4, 5, 6, 7, 2, 1}));
    EXPECT_EQ(f.errCommand + f.silentCommand + f.markerCommand + f.badCrcCommand, "CLOSVRFYSUCKINFO");
    EXPECT_EQ(s.flashFile, dir.Path() + "/flash.bin");  // beside the scenario file
    EXPECT_EQ(s.filesFolder, "/tmp/handset-files");
}

TEST(HandsetSimScenario, ErrorsNameFileLineAndKeyAndChangeNothing) {
    const struct {
        const char* text;
        const char* expected;
    } cases[] = {
        {"[handset]\nuarts = two\n", "handset.ini:2: [handset] uarts: expected a number"},
        {"[handset]\n\nbootrom = lazy\n", "handset.ini:3: [handset] bootrom: expected active"},
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
        {"uarts = 1\n", "handset.ini:1: key before the first section"},
        {"[handset\n", "handset.ini:1: section name without ']'"},
    };
    testing_support::TempDir dir;
    std::string error;
    for (const auto& c : cases) {
        Scenario scenario;
        scenario.uartCount = 2;
        EXPECT_FALSE(handsetsim::LoadScenario(dir.Write("handset.ini", c.text), &scenario, &error)) << c.text;
        EXPECT_NE(error.find(c.expected), std::string::npos) << error;
        EXPECT_EQ(error.find(dir.Path()), 0u) << error;
        EXPECT_EQ(scenario.uartCount, 2u) << "a failed load leaves the scenario alone";
    }
    Scenario scenario;
    EXPECT_FALSE(handsetsim::LoadScenario(dir.File("missing.ini"), &scenario, &error));
    EXPECT_NE(error.find("missing.ini"), std::string::npos) << error;
}

TEST(HandsetSimHelpers, PacedBytesComeOneByteTimeApartOneSpeedAtATime) {
    const Clock::time_point t0{};
    const auto byte = handsetsim::ByteTime(115200);
    EXPECT_EQ(std::chrono::duration_cast<std::chrono::nanoseconds>(byte).count(), 86805);
    EXPECT_EQ(handsetsim::ByteTime(0), Clock::duration::zero());
    handsetsim::TimedQueue queue;
    const uint8_t data[10] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
    queue.Push(data, 10, t0, byte);
    EXPECT_EQ(queue.Ready(t0), 0u);
    EXPECT_EQ(queue.Ready(t0 + byte * 4 - std::chrono::nanoseconds(1)), 3u);
    queue.Push(data, 10, t0 + byte * 2, byte);  // follows the bytes still on the line
    EXPECT_EQ(queue.Ready(t0 + byte * 15), 15u);
    uint8_t out[20];
    EXPECT_EQ(queue.Take(out, 20, t0 + byte * 12), 12u);
    EXPECT_EQ(out[11], 1);
    EXPECT_EQ(queue.HeadTime(), t0 + byte * 13);
    queue.Clear();  // dropped bytes leave no time debt behind
    queue.Push(data, 1, t0 + byte * 14, byte);
    EXPECT_EQ(queue.Ready(t0 + byte * 15), 1u);

    queue.Clear();  // unpaced: there at once, but taken one speed at a time
    queue.Push(data, 2, t0, Clock::duration::zero(), 115200);
    queue.Push(data + 2, 2, t0, Clock::duration::zero(), 921600);
    EXPECT_EQ(queue.Take(out, 4, t0), 2u);
    EXPECT_EQ(queue.HeadTag(), 921600u);
    EXPECT_EQ(queue.Take(out, 4, t0), 2u);
    EXPECT_EQ(out[1], 3);
    EXPECT_TRUE(queue.Empty());
}

TEST(HandsetSimHelpers, CodeWords) {
    const uint32_t open = FourCC("OPEN");
    EXPECT_EQ(handsetsim::TagName(open), "OPEN");
    EXPECT_EQ(handsetsim::TagName(0x0A000041), "A...");  // unprintable bytes shown as dots
    EXPECT_TRUE(handsetsim::ContainsTag({'x', 'O', 'P', 'E', 'N', 'y'}, open));
    EXPECT_FALSE(handsetsim::ContainsTag({'O', 'P', 'E', 'x', 'N'}, open));
    EXPECT_EQ(handsetsim::PayloadWord({1, 0, 0, 0, 2, 0, 0, 0}, 1), 2u);
    EXPECT_EQ(handsetsim::PayloadWord({1, 0, 0, 0, 2, 0, 0}, 1), 0u);  // too short
}

}  // namespace
