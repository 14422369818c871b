// Programming jobs against the stand-in handset: transfer sizes and splits, OPEN
// flags, erasing, the held-back word, difference mode, erasing unused memory,
// failed closes and opens, and aborts.
#include <algorithm>
#include <string>
#include <vector>

#include "flashdll/link/crc32.h"
#include "support/job_fixture.h"

namespace {

using namespace testing_support;
using Words = std::vector<uint32_t>;
using Names = std::vector<std::string>;
using ProgramTest = FlashHandsetTest;

Names SectorCommands(const JobFixture& job) {  // in the order they arrived
    Names names = job.CommandNames();
    names.erase(std::remove_if(names.begin(), names.end(),
                               [](const std::string& n) { return n != "OPEN" && n != "ERAS" && n != "CLOS"; }),
                names.end());
    return names;
}

// Two bytes at the held-back address hold no word to keep back.
TEST_F(ProgramTest, SlowLinkSendsSixteenKiBPiecesAndFlagsFollowCoverage) {
    scenario.maxTx = 65536;
    WriteImage({{0x20000000, RandomBytes(0x10100, 1)}, {0x20040000, {0x12, 0x34}}, {0x20080000, RandomBytes(0x32000, 2)}});
    Start();
    const JobResult result = Run("/mode=flash");
    ASSERT_EQ(result.code, SUCCESS) << result.Transcript();
    EXPECT_TRUE(job.FlashHolds(image));
    EXPECT_EQ(job.Words("OPEN", 0), (Words{0, 1, 4, 5}));
    EXPECT_EQ(job.Words("OPEN", 3), (Words{0x11, 0x13, 0x13, 0x13}));
    Words lengths(4, 0x4000);
    lengths.insert(lengths.end(), {0x100, 2});
    lengths.insert(lengths.end(), 12, 0x4000);
    lengths.push_back(0x2000);
    EXPECT_EQ(job.Words("TXDT", 1), lengths);
    EXPECT_EQ(SectorCommands(job), (Names{"OPEN", "CLOS", "OPEN", "CLOS", "OPEN", "CLOS", "OPEN", "CLOS"}));
    EXPECT_EQ(job.CommandNames().back(), "DONE");
}

// Words 3.. of a TXDT: part count, then per part UART, offset, length, CRC.
TEST_F(ProgramTest, TwoFastPortsSplitTransfersByTheirShares) {
    scenario.maxTx = 8192;
    WriteImage({{0x20000000, RandomBytes(3000, 4)}, {0x20010000, RandomBytes(1024, 5)}, {0x20020000, RandomBytes(20000, 6)}});
    Start(2);
    const JobResult result = Run("/mode=flash /maxspeed=921600,460800");

    ASSERT_EQ(result.code, SUCCESS) << result.Transcript();
    EXPECT_TRUE(job.FlashHolds(image));
    EXPECT_EQ(job.Words("TXDT", 1), (Words{3000, 1024, 8192, 8192, 3616}));
    const auto txdt = job.Sent("TXDT");
    const Words split = PayloadWords(txdt[0]), whole = PayloadWords(txdt[1]);
    EXPECT_EQ(Words(split.begin() + 3, split.end()),
              (Words{2, 0, 0, 1980, Crc32(image[0].bytes.data(), 1980), 1, 1980, 1020,
                     Crc32(image[0].bytes.data() + 1980, 1020)}));  // 3000 bytes at 66/33
    EXPECT_EQ(Words(whole.begin() + 3, whole.end()),
              (Words{1, 0, 0, 1024, Crc32(image[1].bytes.data(), 1024), 0, 0, 0, 0}));
}

// With extra protection every sector is erased before its close. The
// 256-KiB region at 0x20040000 is first sent with its last word erased,
// and its sector is rewritten in full, with flags 0x01, after all others.
TEST_F(ProgramTest, ExtraProtectionErasesEverySectorAndTheHeldBackWordComesLast) {
    auto held = RandomBytes(0x40000, 10);
    WriteImage({{0x20000000, RandomBytes(0x100, 11)}, {0x20040000, held}, {0x20080100, RandomBytes(0x100, 12)}});
    Start();
    handset->SetFlash(0x20000000, RandomBytes(0xA0000, 9));  // programming alone cannot clear this
    const JobResult result = Run("/mode=flash /maxspeed=921600 /extprotect=1 /diff=1");

    ASSERT_EQ(result.code, SUCCESS) << result.Transcript();
    EXPECT_TRUE(job.FlashHolds(image));
    EXPECT_EQ(job.Words("OPEN", 0), (Words{0, 4, 5, 4}));
    EXPECT_EQ(job.Words("OPEN", 3), (Words{0x1A, 0x18, 0x1A, 0x01}));
    EXPECT_EQ(SectorCommands(job), (Names{"OPEN", "ERAS", "CLOS", "OPEN", "ERAS", "CLOS", "OPEN", "ERAS", "CLOS",
                                          "OPEN", "CLOS"}));
    EXPECT_EQ(job.Words("TXDT", 0), (Words{0x20000000, 0x20040000, 0x20060000, 0x20080100, 0x20040000, 0x20060000}));
    const auto txdt = job.Sent("TXDT");
    EXPECT_EQ(PayloadWord(txdt[5], 7), Crc32(held.data() + 0x20000, 0x20000));
    std::fill(held.end() - 4, held.end(), 0xFF);
    EXPECT_EQ(PayloadWord(txdt[2], 7), Crc32(held.data() + 0x20000, 0x20000)) << "first pass sends the word erased";
    EXPECT_EQ(handset->CountCommands("VRFY"), 0u) << "no difference mode under extra protection";
    EXPECT_EQ(job.CommandNames().back(), "DONE");
}

// The held-back word's sector (0x20040000..0x2007FFFF) is rewritten whole,
// yet keeps every byte the image does not hold, reserved ranges included;
// with /eraseunused=1 only the reserved range keeps its bytes. What the
// image does not hold is read back once, and nothing more.
TEST_F(ProgramTest, HeldBackSectorKeepsWhatTheImageDoesNotHold) {
    constexpr uint32_t kSector = 0x20040000, kSectorSize = 0x40000;
    struct Case {
        const char* options;
        std::vector<ImageChunk> chunks;
        FlashRange reserved;  // {0, 0}: none
        bool eraseUnused;
        uint32_t readBack;    // bytes of the sector read before the rewrite
    };
    const Case cases[] = {
        {"", {{kSector, RandomBytes(0x1000, 30)}}, {0, 0}, false, kSectorSize - 0x1000},
        {"/diff=0", {{kSector, RandomBytes(0x1000, 31)}, {0x20050000, RandomBytes(0x800, 32)}}, {0, 0}, false,
         kSectorSize - 0x1800},
        {"/reserved=0x20048000-0x2004FFFF", {{kSector, RandomBytes(0x1000, 33)}}, {0x20048000, 0x2004FFFF}, false,
         kSectorSize - 0x1000},
        {"/reserved=0x20048000-0x2004FFFF /eraseunused=1", {{kSector, RandomBytes(0x1000, 34)}},
         {0x20048000, 0x2004FFFF}, true, 0x8000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.options);
        WriteImage(c.chunks);
        Start();
        const std::vector<uint8_t> old = RandomBytes(kSectorSize, 35);
        handset->SetFlash(kSector, old);
        const JobResult result = Run(std::string("/mode=flash /maxspeed=921600 ") + c.options);
        ASSERT_EQ(result.code, SUCCESS) << result.Transcript();

        std::vector<uint8_t> expected = old;
        for (uint32_t at = 0; at < kSectorSize; ++at) {
            const uint32_t address = kSector + at;
            const bool reserved = c.reserved.last != 0 && address >= c.reserved.first && address <= c.reserved.last;
            if (c.eraseUnused && !reserved) expected[at] = 0xFF;
        }
        for (const ImageChunk& chunk : c.chunks) {
            std::copy(chunk.bytes.begin(), chunk.bytes.end(), expected.begin() + (chunk.address - kSector));
        }
        EXPECT_TRUE(job.FlashHolds({{kSector, expected}}));
        EXPECT_EQ(job.Words("OPEN", 3).back(), 0x01u) << "the rewrite keeps its flags";
        uint32_t read = 0;
        for (uint32_t length : job.Words("SUCK", 1)) read += length;
        EXPECT_EQ(read, c.readBack);
    }
}

// The sector at 0x20000000 matches and is only compared; the one at
// 0x20080000 differs in its second 128-KiB piece and is programmed from
// the address where its pass began.
TEST_F(ProgramTest, DifferenceModeProgramsOnlySectorsThatDiffer) {
    WriteImage({{0x20000000, RandomBytes(0x8000, 13)}, {0x20080000, RandomBytes(0x40000, 14)}});
    Start();
    handset->SetFlash(0x20000000, image[0].bytes);
    auto old = image[1].bytes;
    old[0x28000] ^= 0x5A;
    handset->SetFlash(0x20080000, old);
    const JobResult result = Run("/mode=flash /diff=1 /maxspeed=921600");

    ASSERT_EQ(result.code, SUCCESS) << result.Transcript();
    EXPECT_TRUE(job.FlashHolds(image));
    EXPECT_EQ(job.Words("VRFY", 0), (Words{0x20000000, 0x20000100, 0x20080000, 0x20080100, 0x200A0000, 0x200A0100}));
    EXPECT_EQ(job.Words("VRFY", 1), (Words{256, 0x7F00, 256, 0x1FF00, 256, 0x1FF00}));
    EXPECT_EQ(job.Words("OPEN", 0), Words{5});
    EXPECT_EQ(job.Words("OPEN", 3), Words{0x11});
    EXPECT_EQ(job.Words("TXDT", 0), (Words{0x20080000, 0x200A0000}));
}

TEST_F(ProgramTest, EraseUnusedSparesReservedRangesAndTheCfsArea) {
    job.AddPlatform(Mit1Platform("P2", "sl.s19", 0x08000000, "fl.s19", 0x08000000)
                        .WithFlash({FlashDefinitionMit1(kFlashBase, 2, 1)}));
    WriteImage({{0x20000000, RandomBytes(0x1000, 16)}});
    Start();
    const auto old = RandomBytes(kFlashSize, 17);
    handset->SetFlash(kFlashBase, old);
    const JobResult result = Run("/platform=P2 /mode=flash /eraseunused=1 /reserved=0x20010000-0x2001FFFF /maxspeed=921600");

    ASSERT_EQ(result.code, SUCCESS) << result.Transcript();
    EXPECT_TRUE(result.Has("Data to be transferred: 960 KB (983040 Bytes)"));
    EXPECT_TRUE(job.FlashHolds(image));
    EXPECT_TRUE(job.FlashHolds({{0x20001000, std::vector<uint8_t>(0xF000, 0xFF)}}));
    EXPECT_TRUE(job.FlashHolds({{0x20010000, {old.begin() + 0x10000, old.begin() + 0x20000}}})) << "reserved";
    EXPECT_TRUE(job.FlashHolds({{0x20020000, std::vector<uint8_t>(0xE0000, 0xFF)}}));
    EXPECT_TRUE(job.FlashHolds({{0x20100000, {old.begin() + 0x100000, old.end()}}})) << "CFS area";
}

// A close between two sectors answered "-err" restarts the sector; with
// /noretry=1 it ends the job with its own code; an abort during the resync
// ends it as aborted, not as a link fault. A silent OPEN with /noretry=1 is
// given up after its one time-out (5 s).
TEST_F(ProgramTest, FailedCloseAndSilentOpen) {
    scenario.faults.errCommand = "CLOS";
    scenario.faults.errNth = 1;
    WriteImage({{0x20000000, RandomBytes(0x10000, 18)}, {0x20010000, RandomBytes(0x100, 19)}});
    Start();
    JobResult result = Run("/mode=flash");
    ASSERT_EQ(result.code, SUCCESS) << result.Transcript();
    EXPECT_EQ(job.Words("OPEN", 0), (Words{0, 0, 1}));
    EXPECT_EQ(handset->CountCommands("CLOS"), 3u);
    EXPECT_TRUE(job.FlashHolds(image));

    Start();
    result = Run("/mode=flash /noretry=1");
    EXPECT_EQ(result.code, ERR_CMD_FAILED) << result.Transcript();
    EXPECT_EQ(SectorCommands(job), (Names{"OPEN", "CLOS"}));

    scenario.faults.silentCommand = "SYNC";
    scenario.faults.silentNth = 2;  // the handshake's own resync is the first
    scenario.faults.silentCount = 5;
    Start();
    const JobSetup abort{{}, [](RecordingHost& host) { host.abortAfterPolls = 1; }};
    result = Run("/mode=flash", abort);
    EXPECT_EQ(result.code, ERR_ABORT) << result.Transcript();
    EXPECT_EQ(job.CommandNames().back(), "SYNC");

    scenario.faults = {};
    scenario.faults.silentCommand = "OPEN";
    scenario.faults.silentNth = 1;
    Start();
    result = Run("/mode=flash /noretry=1");
    EXPECT_EQ(result.code, ERR_TOO_MANY_RETRIES) << result.Transcript();
    EXPECT_TRUE(result.Has("Giving up on OpenSector"));
    EXPECT_EQ(handset->CountCommands("TXDT"), 0u);
}

// A close whose reply is spoilt on the way (the flash loader did close the
// sector) costs a restart of that sector, between sectors and at the end
// alike, and the job ends with the image in flash.
TEST_F(ProgramTest, CloseWithABrokenReplyRestartsItsSector) {
    WriteImage({{0x20000000, RandomBytes(0x10000, 22)}, {0x20010000, RandomBytes(0x100, 23)}});
    const std::pair<uint32_t, Words> cases[] = {{1, {0, 0, 1}}, {2, {0, 1, 1}}};  // spoilt CLOS, OPENs
    for (const auto& [nth, opens] : cases) {
        scenario.faults.badCrcCommand = "CLOS";
        scenario.faults.badCrcNth = nth;
        Start();
        const JobResult result = Run("/mode=flash");
        ASSERT_EQ(result.code, SUCCESS) << "CLOS " << nth << "\n" << result.Transcript();
        EXPECT_EQ(job.Words("OPEN", 0), opens) << "CLOS " << nth;
        EXPECT_TRUE(job.FlashHolds(image)) << "CLOS " << nth;
    }
}

// After a failed transfer each retry carries half as much, down to 1 KiB,
// without using up attempts on the way down; eight clean transfers double
// the size again. Only attempts at the floor count: 5 of them end the job.
TEST_F(ProgramTest, FailedTransfersShrinkTheNextAndCleanOnesGrowThem) {
    WriteImage({{0x20080000, RandomBytes(0x100000, 24)}});  // four 256-KiB sectors
    const Words k = {0x20000, 0x10000, 0x8000, 0x4000, 0x2000, 0x1000, 0x800, 0x400};
    struct Case {
        uint32_t failures;
        uint32_t code;
        Words firstLengths;
    } cases[] = {
        {1, SUCCESS, {k[0], k[1], k[1], k[1], k[1], k[1], k[1], k[1], k[1], k[0], k[0]}},
        {7, SUCCESS, {k[0], k[1], k[2], k[3], k[4], k[5], k[6], k[7], k[7], k[7], k[7], k[7], k[7], k[7], k[7], k[6]}},
        {100, ERR_TOO_MANY_RETRIES, {k[0], k[1], k[2], k[3], k[4], k[5], k[6], k[7], k[7], k[7], k[7], k[7]}},
    };
    for (const Case& c : cases) {
        scenario.faults.errCommand = "TXDT";
        scenario.faults.errNth = 1;
        scenario.faults.errCount = c.failures;
        Start();
        const JobResult result = Run("/mode=flash /maxspeed=921600");
        ASSERT_EQ(result.code, c.code) << c.failures << " failures\n" << result.Transcript();
        Words lengths = job.Words("TXDT", 1);
        if (c.code == SUCCESS) {
            EXPECT_TRUE(job.FlashHolds(image)) << c.failures;
            lengths.resize(c.firstLengths.size());
        }
        EXPECT_EQ(lengths, c.firstLengths) << c.failures << " failures";
    }
}

// The host aborts while a transfer is on the line: the ports are released.
TEST_F(ProgramTest, AbortDuringTransferEndsTheJobAndReleasesThePorts) {
    scenario.paceLine = true;  // 256 KiB at 115200 baud take about 23 s
    WriteImage({{0x20080000, RandomBytes(0x40000, 21)}});
    Start();
    const JobSetup setup{{}, [](RecordingHost& host) { host.abortAfterPolls = 2; }};
    const JobResult result = Run("/mode=flash", setup);
    EXPECT_EQ(result.code, ERR_ABORT) << result.Transcript();
    EXPECT_GE(handset->CountCommands("TXDT"), 1u);
    EXPECT_LT(handset->CountCommands("TXDT"), 16u);
    EXPECT_EQ(handset->CountCommands("CLOS"), 0u);
    EXPECT_EQ(result.host->CountMessages("Closed COM1"), 1u);
}

}  // namespace
