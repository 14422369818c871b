// Pure pieces of the flash operations that whole jobs do not reach easily:
// loader limits of 0, the split boundary, checksums over areas, CFS areas.
#include "flashdll/loader/flash_layout.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "flashdll/report/errors.h"
#include "flashdll/link/crc32.h"
#include "flashdll/session/session.h"
#include "support/recording_host.h"

namespace {

TEST(FlashLayout, ZeroLoaderLimitsLowerNothingAndShortTransfersStayWhole) {
    auto session = std::make_unique<Session>();
    session->ports[0].linkSpeed = 921600;
    EXPECT_EQ(ChunkSize(session.get()), kFastChunkBytes);  // a limit of 0 would stall every transfer
    EXPECT_EQ(ReadPieceSize(session.get()), kFastReadPieceBytes);
    session->portCount = 2;
    session->ports[0].transferShare = 66;
    session->ports[1].transferShare = 33;
    TransferPart parts[kMaxTransferParts];
    EXPECT_EQ(SplitTransfer(session.get(), 1024, parts), 1u);
    EXPECT_EQ(SplitTransfer(session.get(), 1025, parts), 2u);
}

// Checksums run across touching areas but never past the last; a transfer
// comes from one area.
TEST(FlashLayout, ImageCrcRunsAcrossTouchingAreas) {
    std::vector<uint8_t> bytes(0x200);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 7);
    ImageBuffer image = {};
    image.areaCount = 2;
    image.areas[0] = MemoryArea{0x1000, 0x10FF, bytes.data()};
    image.areas[1] = MemoryArea{0x1100, 0x11FF, bytes.data() + 0x100};
    uint32_t crc = 0;
    ASSERT_TRUE(ImageCrc(&image, 0x1080, 0x100, &crc));
    EXPECT_EQ(crc, Crc32(bytes.data() + 0x80, 0x100));
    EXPECT_FALSE(ImageCrc(&image, 0x1180, 0x100, &crc));
    EXPECT_EQ(AreaHoldingRange(&image, 0x1080, 0x117F), kNoArea) << "a transfer comes from one area";
}

// A definition of 128 MiB at 0x20000000 with its CFS area from 100 MiB on
// (0x26400000), one of 64 MiB at 0x28000000 with CFS from 16 MiB on: regions
// reaching into either area are refused, or cut before it.
TEST(FlashLayout, CfsAreasHoldWithinTheirWholeDefinition) {
    testing_support::RecordingHost host;
    auto session = std::make_unique<Session>();
    session->host = &host.descriptor;
    session->platform.flashDefinitionCount = 2;
    session->platform.flashDefinitions[0] = {0x20000000, 128u << 20, 0, kCfsDefined | (100u << 20)};
    session->platform.flashDefinitions[1] = {0x28000000, 64u << 20, 0, kCfsDefined | (16u << 20)};
    const struct {
        FlashRange region;
        uint32_t code;
        uint32_t clippedLast;  // in clip mode
    } cases[] = {
        {{0x24000000, 0x263FFFFF}, SUCCESS, 0x263FFFFF},
        {{0x26400000, 0x26400FFF}, ERR_RANGES_OVERLAP, 0},  // beyond the first 64 MiB of the definition
        {{0x26300000, 0x264FFFFF}, ERR_RANGES_OVERLAP, 0x263FFFFF},
        {{0x28000000, 0x28FFFFFF}, SUCCESS, 0x28FFFFFF},
        {{0x28FFF000, 0x29000000}, ERR_RANGES_OVERLAP, 0x28FFFFFF},
        {{0x29000000, 0x29000FFF}, ERR_RANGES_OVERLAP, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.region.first);
        FlashRange region = c.region;
        EXPECT_EQ(CheckCfsArea(session.get(), &region, 1, false), c.code) << host.Transcript();
        if (c.clippedLast == 0) continue;
        EXPECT_EQ(CheckCfsArea(session.get(), &region, 1, true), SUCCESS);
        EXPECT_EQ(region.last, c.clippedLast);
    }
}

}  // namespace
