// Scenario files of the stand-in handset, and the pacing of its lines.
#include <gtest/gtest.h>

#include "support/temp_dir.h"
#include "tools/handsetsim/handsetsim.h"
#include "tools/handsetsim/timed_queue.h"

namespace {

using handsetsim::BootRom;
using handsetsim::Clock;
using handsetsim::Scenario;
using handsetsim::TimedQueue;

// The example scenario of the source tree, found from this file's path.
std::string ExampleFile() {
    std::string here = __FILE__;
    return here.substr(0, here.rfind("/tests/")) + "/examples/handset.ini";
}

bool Load(const std::string& text, Scenario* scenario, std::string* error,
          testing_support::TempDir& dir) {
    return handsetsim::LoadScenario(dir.Write("handset.ini", text), scenario, error);
}

TEST(HandsetSimScenario, ExampleFileParses) {
    Scenario scenario;
    std::string error;
    ASSERT_TRUE(handsetsim::LoadScenario(ExampleFile(), &scenario, &error))
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
    Scenario scenario;
    std::string error;
    ASSERT_TRUE(Load("[handset]\nuarts = 1\nbootrom = passive-setup\npace = yes\ncheckspeed = on\n"
                     "start = flashloader\n"
                     "[bootloader]\nversion = 1.9\ntype = 5\nflag = yes\nrommask = 0x41424344\n"
                     "uart = 0\nmaxtransfer = 4353\nidregister = none\n"
                     "[setuploader]\nversion = 3.2\ntype = 0x1234\nmaxtransfer = 1000\n"
                     "[flashloader]\nversion = 5.12\nmaxtx = 8192\nmaxrx = 0x800\n"
                     "speeds = 115200, 921600\nanswers = 1\n"
                     "[chip0]\nnand = 0xEC,0xDA\nstart = 0x30000000\nlayout = 128*2,64\n"
                     "[faults]\nboot_silent = yes\nactive_no_z = yes\nactive_byte_after_z = 0x51\n"
                     "active_wrong_echo = 2,3\nactive_verdict = F,4,5\nnack_data = 6,7\n"
                     "noise_before_reply = 8\nerr = CLOS,2,3\nsilent = VRFY,4,5\nmarker = SUCK,6\n"
                     "bad_crc = INFO,7\nmessages_before_reply = 2\ndumps_before_reply = 1\n"
                     "second_uart_silent = yes\nfile_open_fails = yes\nfile_write_short = yes\n"
                     "check_file_size_fails = yes\n"
                     "[store]\nflash = flash.bin\nfiles = /tmp/handset-files\n",
                     &scenario, &error, dir))
        << error;
    EXPECT_EQ(scenario.bootRom, BootRom::PassiveWithSetupLoader);
    EXPECT_TRUE(scenario.paceLine && scenario.checkLineSpeed && scenario.startInFlashLoader);
    EXPECT_EQ(scenario.blMajor * 100 + scenario.blMinor, 109u);
    EXPECT_TRUE(scenario.blFlag);
    EXPECT_FALSE(scenario.hasIdRegister);
    EXPECT_EQ(scenario.blMaxTransfer, 4353u);
    EXPECT_EQ(scenario.slType, 0x1234u);
    EXPECT_EQ(scenario.flMinor, 12u);
    EXPECT_EQ(scenario.maxRx, 0x800u);
    EXPECT_EQ(scenario.mobileSpeeds[1], 921600u);
    EXPECT_EQ(scenario.mobileSpeeds[2], 0u);
    EXPECT_FALSE(scenario.uartAnswers[0]);
    EXPECT_TRUE(scenario.uartAnswers[1]);
    ASSERT_EQ(scenario.chips.size(), 1u);
    EXPECT_EQ(scenario.chips[0].nandId, 0x00EC0000u);
    EXPECT_EQ(scenario.chips[0].sectorSizes, (std::vector<uint32_t>{131072, 131072, 65536}));
    const handsetsim::Faults& f = scenario.faults;
    EXPECT_TRUE(f.bootSilent && f.activeNoZ && f.secondUartSilent && f.fileOpenFails &&
                f.fileWriteShort && f.checkFileSizeFails);
    EXPECT_EQ(f.activeByteAfterZ, 0x51);
    EXPECT_EQ(f.activeWrongEchoCount, 3u);
    EXPECT_EQ(f.activeVerdict, 'F');
    EXPECT_EQ(f.activeVerdictBlock, 4u);
    EXPECT_EQ(f.passiveNackDataCount, 7u);
    EXPECT_EQ(f.errCommand, "CLOS");
    EXPECT_EQ(f.errCount, 3u);
    EXPECT_EQ(f.silentNth, 4u);
    EXPECT_EQ(f.markerCommand, "SUCK");
    EXPECT_EQ(f.badCrcNth, 7u);
    EXPECT_EQ(f.dumpsBeforeReply, 1u);
    EXPECT_EQ(scenario.flashFile, dir.Path() + "/flash.bin");  // beside the scenario file
    EXPECT_EQ(scenario.filesFolder, "/tmp/handset-files");
}

TEST(HandsetSimScenario, ErrorsNameFileLineAndKey) {
    struct Case {
        const char* text;
        const char* expected;
    };
    const Case cases[] = {
        {"[handset]\nuarts = two\n", "handset.ini:2: [handset] uarts: expected a number"},
        {"[handset]\n\nbootrom = lazy\n", "handset.ini:3: [handset] bootrom: expected active"},
        {"[flashloader]\nversoin = 5.13\n", "handset.ini:2: [flashloader] versoin: unknown key"},
        {"[flashloader]\nversion = 5\n", "handset.ini:2: [flashloader] version: expected a version"},
        {"[chip0]\nlayout = 8*,64\n", "handset.ini:2: [chip0] layout: layout group \"8*\""},
        {"[chip0]\nlayout = 8 * 8\n", "handset.ini:2: [chip0] layout: layout group"},
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
    for (const Case& c : cases) {
        Scenario scenario;
        scenario.uartCount = 2;
        std::string error;
        EXPECT_FALSE(Load(c.text, &scenario, &error, dir)) << c.text;
        EXPECT_NE(error.find(c.expected), std::string::npos) << "got: " << error;
        EXPECT_NE(error.find(dir.Path()), std::string::npos) << error;
        EXPECT_EQ(scenario.uartCount, 2u) << "a failed load leaves the scenario alone";
    }
    std::string error;
    Scenario scenario;
    EXPECT_FALSE(handsetsim::LoadScenario(dir.File("missing.ini"), &scenario, &error));
    EXPECT_NE(error.find("missing.ini"), std::string::npos);
}

TEST(HandsetSimScenario, ImpossibleScenariosDoNotStart) {
    std::string error;
    Scenario scenario;
    scenario.blUart = 1;  // one UART only
    EXPECT_FALSE(handsetsim::Handset::Start(scenario, &error));
    EXPECT_NE(error.find("UART"), std::string::npos);

    scenario = Scenario{};
    scenario.chips.resize(2);
    scenario.chips[0].sectorSizes = {65536};
    scenario.chips[1].sectorSizes = {65536};  // both at address 0
    EXPECT_FALSE(handsetsim::Handset::Start(scenario, &error));
    EXPECT_NE(error.find("overlap"), std::string::npos);
}

// ---------------------------------------------------------------- pacing

TEST(HandsetSimPacing, BytesComeThroughOneByteTimeApart) {
    const Clock::time_point t0{};
    const auto byte = handsetsim::ByteTime(115200);
    EXPECT_EQ(std::chrono::duration_cast<std::chrono::nanoseconds>(byte).count(), 86805);
    TimedQueue queue;
    const uint8_t data[10] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
    queue.Push(data, 10, t0, byte);
    EXPECT_EQ(queue.Ready(t0), 0u);
    EXPECT_EQ(queue.Ready(t0 + byte), 1u);
    EXPECT_EQ(queue.Ready(t0 + byte * 4 - std::chrono::nanoseconds(1)), 3u);
    EXPECT_EQ(queue.HeadTime(), t0 + byte);

    // Bytes queued while others are still on the line follow them.
    queue.Push(data, 10, t0 + byte * 2, byte);
    EXPECT_EQ(queue.Ready(t0 + byte * 10), 10u);
    EXPECT_EQ(queue.Ready(t0 + byte * 15), 15u);
    uint8_t out[20];
    EXPECT_EQ(queue.Take(out, 20, t0 + byte * 12), 12u);
    EXPECT_EQ(out[11], 1);
    EXPECT_EQ(queue.HeadTime(), t0 + byte * 13);

    // Dropped bytes leave no time debt behind.
    queue.Clear();
    queue.Push(data, 1, t0 + byte * 14, byte);
    EXPECT_EQ(queue.Ready(t0 + byte * 15), 1u);
}

TEST(HandsetSimPacing, UnpacedBytesAreThereAtOnceAndSpeedsStaySeparate) {
    const Clock::time_point t0{};
    TimedQueue queue;
    const uint8_t data[4] = {1, 2, 3, 4};
    queue.Push(data, 2, t0, Clock::duration::zero(), 115200);
    queue.Push(data + 2, 2, t0, Clock::duration::zero(), 921600);
    EXPECT_EQ(queue.Ready(t0), 4u);
    uint8_t out[4] = {};
    EXPECT_EQ(queue.Take(out, 4, t0), 2u);  // one speed at a time
    EXPECT_EQ(queue.HeadTag(), 921600u);
    EXPECT_EQ(queue.Take(out + 2, 4, t0), 2u);
    EXPECT_EQ(out[3], 4);
    EXPECT_TRUE(queue.Empty());
    EXPECT_EQ(handsetsim::ByteTime(0), Clock::duration::zero());
}

}  // namespace
