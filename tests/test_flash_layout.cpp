// Pure pieces of the flash operations that whole jobs do not reach easily:
// loader limits of 0, the split boundary, CFS checks, checksums over areas.
#include "flashdll/loader/flash_layout.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "flashdll/errors.h"
#include "flashdll/loader/crc32.h"
#include "flashdll/session.h"
#include "support/recording_host.h"

namespace {

using Texts = std::vector<std::string>;

class FlashLayoutTest : public ::testing::Test {
protected:
    void SetUp() override {
        host.InstallCallbacks();
        session->host = &host.descriptor;
    }

    testing_support::RecordingHost host;
    std::unique_ptr<Session> session = std::make_unique<Session>();
};

TEST_F(FlashLayoutTest, ZeroLoaderLimitsLowerNothingAndShortTransfersStayWhole) {
    session->ports[0].linkSpeed = 921600;
    EXPECT_EQ(ChunkSize(session.get()), kFastChunkBytes);  // a limit of 0 would stall every transfer
    EXPECT_EQ(ReadPieceSize(session.get()), kFastReadPieceBytes);
    session->portCount = 2;
    session->ports[0].transferShare = 66;
    session->ports[1].transferShare = 33;
    TransferPart parts[kMaxTransferParts];
    EXPECT_EQ(SplitTransfer(session.get(), 1024, parts), 1u);
    ASSERT_EQ(SplitTransfer(session.get(), 1025, parts), 2u);
    EXPECT_EQ(parts[0].length, 676u);
    EXPECT_EQ(parts[1].offset, 676u);
    EXPECT_EQ(parts[1].length, 349u);
}

TEST_F(FlashLayoutTest, CfsAreaIsRefusedInCheckModeAndCutInClipMode) {
    session->platform.flashDefinitionCount = 1;
    session->platform.flashDefinitions[0] = FlashDefinition{0x20000000, 0x2000000, 0, kCfsDefined | 0x1000000};
    FlashRange fits[] = {{0x20000000, 0x20FFFFFF}, {0x24000000, 0x25000000}};  // another window
    EXPECT_EQ(CheckCfsArea(session.get(), fits, 2, false), SUCCESS);
    FlashRange endsInside[] = {{0x20800000, 0x21000000}};
    EXPECT_EQ(CheckCfsArea(session.get(), endsInside, 1, false), ERR_RANGES_OVERLAP);
    FlashRange chip[] = {{0x20000000, 0x21FFFFFF}};
    EXPECT_EQ(CheckCfsArea(session.get(), chip, 1, true), SUCCESS);
    EXPECT_EQ(chip[0].last, 0x20FFFFFFu);
    FlashRange startsInside[] = {{0x21400000, 0x214FFFFF}};
    EXPECT_EQ(CheckCfsArea(session.get(), startsInside, 1, true), ERR_RANGES_OVERLAP);
    EXPECT_EQ(host.Messages(FLASH_LEVEL_ERROR), (Texts{"0x21000000 is overlaped at CFS area(0x21000000)",
                                                       "0x21400000 is overlaped at CFS area(0x21000000)"}));
}

// Checksums run across touching areas but never past the last; a transfer
// comes from one area.
TEST_F(FlashLayoutTest, ImageCrcRunsAcrossTouchingAreas) {
    std::vector<uint8_t> bytes(0x200);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 7);
    ImageBuffer& image = session->userImage;
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
