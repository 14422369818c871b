// Verify and read-back jobs against the stand-in handset, and whole rounds
// of flash, verify and read on one and on two ports.
#include <cstdio>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "flashdll/link/crc32.h"
#include "support/job_fixture.h"

namespace {

using namespace testing_support;
using Words = std::vector<uint32_t>;

// Address -> byte of the S3 records of an S-record file, and of `chunks`.
std::map<uint32_t, uint8_t> SRecordBytes(const std::string& path) {
    std::map<uint32_t, uint8_t> bytes;
    std::ifstream file(path);
    for (std::string line; std::getline(file, line);) {
        auto field = [&line](size_t at, size_t digits) { return std::stoul(line.substr(at, digits), nullptr, 16); };
        for (uint32_t i = 0; line.rfind("S3", 0) == 0 && i + 5 < field(2, 2); ++i) {
            bytes[static_cast<uint32_t>(field(4, 8) + i)] = static_cast<uint8_t>(field(12 + 2 * i, 2));
        }
    }
    return bytes;
}

std::map<uint32_t, uint8_t> ChunkBytes(const std::vector<ImageChunk>& chunks) {
    std::map<uint32_t, uint8_t> bytes;
    for (const ImageChunk& chunk : chunks) {
        for (size_t i = 0; i < chunk.bytes.size(); ++i) bytes[chunk.address + static_cast<uint32_t>(i)] = chunk.bytes[i];
    }
    return bytes;
}

class VerifyReadTest : public FlashHandsetTest {
protected:
    std::string SaveOption() const { return " /savefile=" + job.Path("back.s19"); }
    bool ReadBackIsTheImage() const { return SRecordBytes(job.Path("back.s19")) == ChunkBytes(image); }
};

// Each job starts from the boot ROM, as the previous one sent the handset
// back there. Verify pieces end at sector ends and hold at most 128 KiB; a
// difference in the third piece ends the verify.
TEST_F(VerifyReadTest, FlashVerifyAndReadBackAgreeOnOneAndTwoPorts) {
    WriteImage({{0x20000000, RandomBytes(70000, 6)}, {0x20100000, RandomBytes(200 * 1024, 7)}});
    for (const uint32_t ports : {1u, 2u}) {
        SCOPED_TRACE(ports);
        Start(ports, false);
        JobResult result = Run("/mode=flash /diff=0");  // only the verify compares
        ASSERT_EQ(result.code, SUCCESS) << result.Transcript();
        EXPECT_TRUE(job.FlashHolds(image));
        EXPECT_EQ(PayloadWord(job.Sent("TXDT")[0], 3), ports) << "one part per port";
        result = Run("/mode=verify");
        EXPECT_EQ(result.code, SUCCESS) << result.Transcript();
        EXPECT_EQ(job.Words("VRFY", 1), (Words{0x10000, 70000 - 0x10000, 0x20000, 72 * 1024}));
        EXPECT_TRUE(result.Has("Data to be verified: 268 KB (274800 Bytes)", FLASH_LEVEL_INFO));
        result = Run("/mode=read /read=0x20000000-0x2001116F /read=0x20100000-0x20131FFF" + SaveOption());
        ASSERT_EQ(result.code, SUCCESS) << result.Transcript();
        EXPECT_TRUE(ReadBackIsTheImage());
        EXPECT_TRUE(result.Has("Data to be read: 268 KB (274800 Bytes)", FLASH_LEVEL_INFO));

        handset->SetFlash(0x20100010, {static_cast<uint8_t>(image[1].bytes[0x10] ^ 1)});
        result = Run("/mode=verify");
        EXPECT_EQ(result.code, ERR_VERIFY_DIFFERENCE) << result.Transcript();
        EXPECT_EQ(job.Words("VRFY", 1).size(), 4u + 3u);
        const auto flash = handset->Flash(0x20100000, 0x20000);
        char text[96];
        std::snprintf(text, sizeof text, "VerifyData: Difference found ! (0x%08lx != 0x%08lx)",
                      static_cast<unsigned long>(Crc32(flash.data(), flash.size())),
                      static_cast<unsigned long>(Crc32(image[1].bytes.data(), 0x20000)));
        EXPECT_TRUE(result.Has(text, FLASH_LEVEL_WARNING)) << text;
    }
}

// Read pieces: 4096 bytes at 115200 baud, 8192 faster, never more than the
// flash loader takes. A SUCK answered "-err" is repeated after a resync.
TEST_F(VerifyReadTest, ReadPieceSizesFollowLinkSpeedAndLoaderLimit) {
    const struct {
        std::string maxspeed;
        uint32_t maxRx, failingSuck;
        Words sizes;
    } cases[] = {{"115200", 65536, 0, {4096, 4096, 4096}}, {"460800", 65536, 0, {8192, 4096}},
                 {"921600", 2048, 2, Words(7, 2048)}};
    WriteImage({{0x20000000, RandomBytes(0x3000, 5)}});
    for (const auto& c : cases) {
        SCOPED_TRACE(c.maxspeed);
        scenario.maxRx = c.maxRx;
        scenario.faults.errCommand = "SUCK";
        scenario.faults.errNth = c.failingSuck;
        Start();
        handset->SetFlash(image[0].address, image[0].bytes);
        const JobResult result = Run("/mode=read /read=0x20000000-0x20002FFF /maxspeed=" + c.maxspeed + SaveOption());
        ASSERT_EQ(result.code, SUCCESS) << result.Transcript();
        EXPECT_EQ(job.Words("SUCK", 1), c.sizes);
        EXPECT_EQ(result.Has("Retry 1: ReadData"), c.failingSuck != 0);
        EXPECT_TRUE(ReadBackIsTheImage());
    }
}

// The chip is larger than the platform's flash definition: the part beyond
// it has no memory area in the image to be read into or programmed from.
TEST_F(VerifyReadTest, RangesBeyondTheImageAreasAreRefusedBeforeAnyCommand) {
    job.AddPlatform(PassivePlatform("P3", "fl.s19", 0x08000000).WithFlash({FlashDefinition(0x20000000, 1, 0)}));
    WriteImage({{0x20000000, RandomBytes(0x100, 8)}});
    for (const auto& c : {std::make_pair("/mode=read /read=0x200FF000-0x20100FFF", "0x20100000 - 0x20100fff"),
                          std::make_pair("/mode=flash /eraseunused=1", "0x20100000 - 0x201fffff")}) {
        Start();
        const JobResult result = Run(std::string("/platform=P3 ") + c.first + SaveOption());
        EXPECT_EQ(result.code, ERR_RANGE_OUTSIDE_FLASH) << result.Transcript();
        EXPECT_TRUE(result.Has("Data outside the image's memory areas:", FLASH_LEVEL_ERROR));
        EXPECT_TRUE(result.Has(c.second, FLASH_LEVEL_ERROR)) << result.Transcript();
        EXPECT_EQ(handset->CountCommands("SETP") + handset->CountCommands("SUCK"), 0u);
        EXPECT_FALSE(std::ifstream(job.Path("back.s19")).good()) << "no save file";
    }
}

}  // namespace
