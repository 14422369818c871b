// Pure pieces of the flash operations that whole jobs do not reach easily:
// loader limits of 0, the split boundary, checksums over areas.
#include "flashdll/loader/flash_layout.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "flashdll/loader/crc32.h"
#include "flashdll/session.h"

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

}  // namespace
