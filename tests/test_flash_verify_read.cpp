// Verify and read-back jobs against the stand-in handset, and a whole round
// of flash, verify and read on one and on two ports.
#include <cstdio>
#include <fstream>
#include <string>
#include <tuple>
#include <vector>

#include "flashdll/flashdll.h"
#include "flashdll/loader/crc32.h"
#include "support/flash_handset.h"

namespace {

using testing_support::FlashDefinition;
using testing_support::ImageChunk;
using testing_support::JobResult;
using testing_support::PayloadWord;
using testing_support::PassivePlatform;
using testing_support::RandomBytes;
using testing_support::ReadSRecordData;
using Words = std::vector<uint32_t>;

bool SameChunks(const std::vector<ImageChunk>& a, const std::vector<ImageChunk>& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (a[i].address != b[i].address || a[i].bytes != b[i].bytes) return false;
    }
    return true;
}

class VerifyReadTest : public testing_support::FlashHandsetTest {
protected:
    void FlashTheImage() {
        for (const ImageChunk& chunk : image) handset->SetFlash(chunk.address, chunk.bytes);
    }
    std::string SaveOption() const { return " /savefile=" + job.Path("back.s19"); }
};

TEST_F(VerifyReadTest, VerifyPiecesEndAtSectorEnds) {
    WriteImage({{0x20000000, RandomBytes(300 * 1024, 1)}, {0x20080000, RandomBytes(200 * 1024, 2)}});
    Start();
    FlashTheImage();
    const JobResult result = Run("/mode=verify");

    ASSERT_EQ(result.code, SUCCESS) << result.Transcript();
    EXPECT_EQ(Field("VRFY", 1), (Words{0x10000, 0x10000, 0x10000, 0x10000, 44 * 1024, 0x20000, 72 * 1024}));
    EXPECT_TRUE(result.host->HasMessage("Data to be verified: 500 KB (512000 Bytes)"));
    EXPECT_EQ(handset->CountCommands("DONE"), 1u);
}

TEST_F(VerifyReadTest, DifferenceInThirdPieceEndsTheVerify) {
    WriteImage({{0x20000000, RandomBytes(0x30000, 3)}});
    Start();
    FlashTheImage();
    handset->SetFlash(0x20020010, {static_cast<uint8_t>(image[0].bytes[0x20010] ^ 1)});
    const JobResult result = Run("/mode=verify");

    EXPECT_EQ(result.code, ERR_VERIFY_DIFFERENCE) << result.Transcript();
    EXPECT_EQ(handset->CountCommands("VRFY"), 3u);
    EXPECT_EQ(handset->CountCommands("DONE"), 0u);
    const auto flash = handset->Flash(0x20020000, 0x10000);
    char text[96];
    std::snprintf(text, sizeof text, "VerifyData: Difference found ! (0x%08lx != 0x%08lx)",
                  static_cast<unsigned long>(Crc32(flash.data(), flash.size())),
                  static_cast<unsigned long>(Crc32(image[0].bytes.data() + 0x20000, 0x10000)));
    EXPECT_TRUE(result.host->HasMessage(text, FLASH_LEVEL_WARNING)) << text;
}

class FailedCommandTest : public VerifyReadTest, public ::testing::WithParamInterface<std::tuple<const char*, bool>> {};

// A VRFY or SUCK answered "-err" once is repeated after a resync; without
// retries the single failure ends the job.
TEST_P(FailedCommandTest, IsRetriedAfterSyncOrGivenUpWithNoretry) {
    const std::string command = std::get<0>(GetParam());
    const bool noretry = std::get<1>(GetParam());
    scenario.faults.errCommand = command;
    scenario.faults.errNth = 1;
    WriteImage({{0x20000000, RandomBytes(0x3000, 4)}});
    Start();
    FlashTheImage();
    const std::string mode = command == "VRFY" ? "/mode=verify" : "/mode=read /read=0x20000000-0x20002FFF" + SaveOption();
    const JobResult result = Run(mode + (noretry ? " /noretry=1" : ""));

    const std::string operation = command == "VRFY" ? "VerifyData" : "ReadData";
    if (noretry) {
        EXPECT_EQ(result.code, ERR_TOO_MANY_RETRIES) << result.Transcript();
        EXPECT_EQ(handset->CountCommands(command), 1u);
        return;
    }
    ASSERT_EQ(result.code, SUCCESS) << result.Transcript();
    EXPECT_TRUE(result.host->HasMessage("Retry 1: " + operation));
    std::vector<std::string> order;  // the failed command, the resync, the repeat
    for (const auto& sent : handset->Commands()) {
        if (sent.name == command || (!order.empty() && sent.name == "SYNC")) order.push_back(sent.name);
    }
    order.resize(3);
    EXPECT_EQ(order, (std::vector<std::string>{command, "SYNC", command}));
    if (command == "SUCK") {
        EXPECT_TRUE(SameChunks(ReadSRecordData(job.Path("back.s19")), image));
    }
}

INSTANTIATE_TEST_SUITE_P(VrfyAndSuck, FailedCommandTest,
                         ::testing::Combine(::testing::Values("VRFY", "SUCK"), ::testing::Bool()));

struct ReadCase {
    const char* maxspeed;
    uint32_t maxRx;
    Words sizes;
};

class ReadPieceTest : public VerifyReadTest, public ::testing::WithParamInterface<ReadCase> {};

TEST_P(ReadPieceTest, SizesFollowLinkSpeedAndLoaderLimit) {
    scenario.maxRx = GetParam().maxRx;
    WriteImage({{0x20000000, RandomBytes(0x3000, 5)}});
    Start();
    FlashTheImage();
    const JobResult result =
        Run("/mode=read /read=0x20000000-0x20002FFF /maxspeed=" + std::string(GetParam().maxspeed) + SaveOption());

    ASSERT_EQ(result.code, SUCCESS) << result.Transcript();
    EXPECT_EQ(Field("SUCK", 1), GetParam().sizes);
    EXPECT_TRUE(SameChunks(ReadSRecordData(job.Path("back.s19")), image));
}

INSTANTIATE_TEST_SUITE_P(Speeds, ReadPieceTest,
                         ::testing::Values(ReadCase{"115200", 65536, {4096, 4096, 4096}},
                                           ReadCase{"460800", 65536, {8192, 4096}},
                                           ReadCase{"921600", 2048, Words(6, 2048)}));

struct RefusedCase {
    std::string options;
    std::string outside;
};

class RefusedRangeTest : public VerifyReadTest, public ::testing::WithParamInterface<RefusedCase> {};

// The chip is larger than the platform's flash definition: the part beyond
// it has no memory area in the image to be read into or programmed from.
TEST_P(RefusedRangeTest, RangesBeyondTheImageAreasAreRefusedBeforeAnyCommand) {
    job.AddPlatform(PassivePlatform("P3", "fl.s19", 0x08000000).WithFlash({FlashDefinition(0x20000000, 1, 0)}));
    WriteImage({{0x20000000, RandomBytes(0x100, 8)}});
    Start();
    const JobResult result = Run("/platform=P3 " + GetParam().options + SaveOption());

    EXPECT_EQ(result.code, ERR_RANGE_OUTSIDE_FLASH) << result.Transcript();
    EXPECT_TRUE(result.host->HasMessage("Data outside the image's memory areas:", FLASH_LEVEL_ERROR));
    EXPECT_TRUE(result.host->HasMessage(GetParam().outside, FLASH_LEVEL_ERROR));
    EXPECT_EQ(handset->CountCommands("SETP") + handset->CountCommands("SUCK"), 0u);
    EXPECT_FALSE(std::ifstream(job.Path("back.s19")).good()) << "no save file";
}

INSTANTIATE_TEST_SUITE_P(ReadAndEraseUnused, RefusedRangeTest,
                         ::testing::Values(RefusedCase{"/mode=read /read=0x200FF000-0x20100FFF", "0x20100000 - 0x20100fff"},
                                           RefusedCase{"/mode=flash /eraseunused=1", "0x20100000 - 0x201fffff"}));

class RoundTripTest : public VerifyReadTest, public ::testing::WithParamInterface<uint32_t> {};

// Each job starts from the boot ROM, as the previous one sent the handset
// back there.
TEST_P(RoundTripTest, FlashVerifyAndReadBackAgree) {
    WriteImage({{0x20000000, RandomBytes(70000, 6)}, {0x20100000, RandomBytes(5000, 7)}});
    Start(GetParam(), false);

    JobResult result = Run("/mode=flash");
    ASSERT_EQ(result.code, SUCCESS) << result.Transcript();
    EXPECT_TRUE(FlashHolds(image));
    EXPECT_EQ(PayloadWord(Sent("TXDT")[0], 3), GetParam()) << "one part per port";
    result = Run("/mode=verify");
    EXPECT_EQ(result.code, SUCCESS) << result.Transcript();
    result = Run("/mode=read /read=0x20000000-0x2001116F /read=0x20100000-0x20101387" + SaveOption());
    ASSERT_EQ(result.code, SUCCESS) << result.Transcript();
    EXPECT_TRUE(SameChunks(ReadSRecordData(job.Path("back.s19")), image));
}

INSTANTIATE_TEST_SUITE_P(Ports, RoundTripTest, ::testing::Values(1u, 2u));

}  // namespace
