#include "flashdll/loader/flash_layout.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "flashdll/errors.h"
#include "flashdll/loader/crc32.h"
#include "flashdll/loader/le.h"
#include "flashdll/session.h"
#include "support/recording_host.h"

namespace {

using testing_support::RecordingHost;

// Sector sizes in KiB from the chip's start.
void SetChip(Session* session, uint32_t index, uint32_t start, const std::vector<uint32_t>& kib) {
    FlashChipRecord& chip = session->flashLoader.chips[index];
    chip.startAddress = start;
    chip.sectorCount = static_cast<uint32_t>(kib.size());
    chip.boundaries[0] = 0;
    for (size_t k = 0; k < kib.size(); ++k) chip.boundaries[k + 1] = chip.boundaries[k] + kib[k] * 1024;
    chip.endAddress = start + chip.boundaries[kib.size()] - 1;
    if (session->flashLoader.chipCount <= index) session->flashLoader.chipCount = index + 1;
}

class FlashLayoutTest : public ::testing::Test {
protected:
    void SetUp() override {
        host.InstallCallbacks();
        session->host = &host.descriptor;
        session->options.debug = 1;
    }

    // Two areas that touch: 0x20000000..0x2000FFFF and 0x20010000..0x2001FFFF.
    void SetAreas() {
        ImageBuffer& image = session->userImage;
        image.areaCount = 2;
        for (uint32_t a = 0; a < 2; ++a) {
            data[a] = std::vector<uint8_t>(0x10000);
            for (size_t i = 0; i < data[a].size(); ++i) data[a][i] = static_cast<uint8_t>(i * 7 + a);
            image.areas[a] = MemoryArea{0x20000000 + a * 0x10000, 0x2000FFFF + a * 0x10000, data[a].data()};
        }
    }

    RecordingHost host;
    std::unique_ptr<Session> session = std::make_unique<Session>();
    std::vector<uint8_t> data[2];
};

TEST_F(FlashLayoutTest, SectorsAreFoundInTheFirstChipHoldingTheAddress) {
    SetChip(session.get(), 0, 0x20000000, {8, 8, 64, 256});
    SetChip(session.get(), 1, 0x24000000, {128, 128});
    SectorSpan span;
    ASSERT_TRUE(LocateSectorSpan(session.get(), 0x20000000, &span));
    EXPECT_EQ(span.position.chip, 0u);
    EXPECT_EQ(span.position.sector, 0u);
    ASSERT_TRUE(LocateSectorSpan(session.get(), 0x20003FFF, &span));  // last byte of sector 1
    EXPECT_EQ(span.position.sector, 1u);
    EXPECT_EQ(span.address, 0x20002000u);
    EXPECT_EQ(span.last, 0x20003FFFu);
    ASSERT_TRUE(LocateSectorSpan(session.get(), 0x20014000, &span));  // first byte of the 256-KiB sector
    EXPECT_EQ(span.position.sector, 3u);
    EXPECT_EQ(span.size, 0x40000u);
    ASSERT_TRUE(LocateSectorSpan(session.get(), 0x24030000, &span));
    EXPECT_EQ(span.position.chip, 1u);
    EXPECT_EQ(span.position.sector, 1u);
    EXPECT_EQ(span.address, 0x24020000u);
    // Between and beyond the chips nothing is found.
    EXPECT_FALSE(LocateSectorSpan(session.get(), 0x20054000, &span));
    EXPECT_FALSE(LocateSectorSpan(session.get(), 0x1FFFFFFF, &span));
    EXPECT_FALSE(LocateSectorSpan(session.get(), 0x24040000, &span));
}

TEST_F(FlashLayoutTest, ChunkAndReadPieceFollowLinkSpeedAndLoaderLimits) {
    PortRecord& port = session->ports[0];
    FlashLoaderInfo& info = session->flashLoader;
    port.linkSpeed = 115200;
    info.maxTxSize = 65536;
    info.maxRxSize = 65536;
    EXPECT_EQ(ChunkSize(session.get()), 0x4000u);
    EXPECT_EQ(ReadPieceSize(session.get()), 4096u);
    port.linkSpeed = 460800;
    EXPECT_EQ(ChunkSize(session.get()), 65536u);  // 128 KiB lowered to the maximum
    EXPECT_EQ(ReadPieceSize(session.get()), 8192u);
    info.maxTxSize = 8192;
    info.maxRxSize = 2048;
    port.linkSpeed = 921600;
    EXPECT_EQ(ChunkSize(session.get()), 8192u);
    EXPECT_EQ(ReadPieceSize(session.get()), 2048u);
    info.maxTxSize = 0x100000;
    EXPECT_EQ(ChunkSize(session.get()), 0x20000u);
    // A maximum of 0 would stop every transfer from making progress.
    info.maxTxSize = 0;
    info.maxRxSize = 0;
    EXPECT_EQ(ChunkSize(session.get()), 0x20000u);
    EXPECT_EQ(ReadPieceSize(session.get()), 8192u);
    // The current port's speed decides.
    session->currentPort = 1;
    session->ports[1].linkSpeed = 115200;
    EXPECT_EQ(ChunkSize(session.get()), 0x4000u);
}

TEST_F(FlashLayoutTest, PiecesNeverPassTheLastAddress) {
    EXPECT_EQ(PieceLength(0x20000000, 0x32000, 0x20000, 0x2003FFFF), 0x20000u);
    EXPECT_EQ(PieceLength(0x20020000, 0x12000, 0x20000, 0x2003FFFF), 0x12000u);
    EXPECT_EQ(PieceLength(0x2003F000, 0x10000, 0x20000, 0x2003FFFF), 0x1000u);
    EXPECT_EQ(PieceLength(0xFFFFFF00, 0x100, 0x20000, 0xFFFFFFFF), 0x100u);
}

TEST_F(FlashLayoutTest, TransferIsSplitOverThePortsByShare) {
    SetAreas();
    session->portCount = 2;
    session->ports[0] = PortRecord{};
    session->ports[0].uartNumber = 1;  // descriptors name the port's UART, not its index
    session->ports[0].transferShare = 66;
    session->ports[1].uartNumber = 0;
    session->ports[1].transferShare = 33;

    uint8_t payload[kTxdtPayloadBytes];
    BuildTxdtPayload(session.get(), 0x20010100, 3000, 1, payload);
    EXPECT_EQ(GetLe32(payload + 0), 0x20010100u);
    EXPECT_EQ(GetLe32(payload + 4), 3000u);
    EXPECT_EQ(GetLe32(payload + 8), 1u);
    EXPECT_EQ(GetLe32(payload + 12), (1u << 16) | 2u);
    const uint8_t* bytes = data[1].data() + 0x100;
    const uint32_t expected[8] = {1, 0, 1980, Crc32(bytes, 1980), 0, 1980, 1020, Crc32(bytes + 1980, 1020)};
    for (uint32_t w = 0; w < 8; ++w) EXPECT_EQ(GetLe32(payload + 16 + 4 * w), expected[w]) << "word " << w;

    // Up to 1024 bytes go as one part over port 0; the second descriptor is empty.
    BuildTxdtPayload(session.get(), 0x20000000, 1024, 0, payload);
    EXPECT_EQ(GetLe32(payload + 12), 1u);
    EXPECT_EQ(GetLe32(payload + 16), 1u);
    EXPECT_EQ(GetLe32(payload + 24), 1024u);
    EXPECT_EQ(GetLe32(payload + 28), Crc32(data[0].data(), 1024));
    for (uint32_t b = 32; b < kTxdtPayloadBytes; ++b) EXPECT_EQ(payload[b], 0u);

    TransferPart parts[kMaxTransferParts];
    ASSERT_EQ(SplitTransfer(session.get(), 1025, parts), 2u);
    EXPECT_EQ(parts[0].length + parts[1].length, 1025u);
    EXPECT_EQ(parts[0].length, 676u);
    // One port carries every transfer whole.
    session->portCount = 1;
    session->ports[0].transferShare = 100;
    ASSERT_EQ(SplitTransfer(session.get(), 0x20000, parts), 1u);
    EXPECT_EQ(parts[0].length, 0x20000u);
}

TEST_F(FlashLayoutTest, CfsAreaIsRefusedInCheckModeAndCutInClipMode) {
    PlatformRecord& platform = session->platform;
    platform.flashDefinitionCount = 1;
    platform.flashDefinitions[0] = FlashDefinition{0x20000000, 0x2000000, 0, kCfsDefined | 0x1000000};

    FlashRange fits[] = {{0x20000000, 0x20FFFFFF}, {0x24000000, 0x25000000}};  // other window untouched
    EXPECT_EQ(CheckCfsArea(session.get(), fits, 2, false), SUCCESS);

    FlashRange endsInside[] = {{0x20800000, 0x21000000}};
    EXPECT_EQ(CheckCfsArea(session.get(), endsInside, 1, false), ERR_RANGES_OVERLAP);
    EXPECT_TRUE(host.HasMessage("0x21000000 is overlaped at CFS area(0x21000000)", FLASH_LEVEL_ERROR));
    EXPECT_EQ(endsInside[0].last, 0x21000000u);

    FlashRange chip[] = {{0x20000000, 0x21FFFFFF}};
    EXPECT_EQ(CheckCfsArea(session.get(), chip, 1, true), SUCCESS);
    EXPECT_EQ(chip[0].last, 0x20FFFFFFu);

    host.Clear();
    FlashRange startsInside[] = {{0x20000000, 0x2000FFFF}, {0x21400000, 0x214FFFFF}};
    EXPECT_EQ(CheckCfsArea(session.get(), startsInside, 2, true), ERR_RANGES_OVERLAP);
    EXPECT_TRUE(host.HasMessage("0x21400000 is overlaped at CFS area(0x21000000)", FLASH_LEVEL_ERROR));

    // Without the CFS bit the offset means nothing.
    platform.flashDefinitions[0].cfsStart = 0x1000000;
    EXPECT_EQ(CheckCfsArea(session.get(), startsInside, 2, false), SUCCESS);
}

TEST_F(FlashLayoutTest, RangesOutsideChipsOrAreasAreListed) {
    SetChip(session.get(), 0, 0x20000000, {64, 64});
    SetChip(session.get(), 1, 0x20030000, {64});
    const FlashRange inside[] = {{0x20000000, 0x2001FFFF}, {0x20030000, 0x2003FFFF}};
    EXPECT_TRUE(CheckFlashRanges(session.get(), inside, 2));
    EXPECT_TRUE(host.Messages().empty());

    const FlashRange across[] = {{0x1FFFFF00, 0x20040010}};
    EXPECT_FALSE(CheckFlashRanges(session.get(), across, 1));
    EXPECT_EQ(host.Messages(FLASH_LEVEL_ERROR),
              (std::vector<std::string>{"Data outside flash memory:", "0x1fffff00 - 0x1fffffff",
                                        "0x20020000 - 0x2002ffff", "0x20040000 - 0x20040010"}));

    host.Clear();
    SetAreas();
    const FlashRange read[] = {{0x20000000, 0x2001FFFF}, {0x2001FF00, 0x200200FF}};
    EXPECT_FALSE(CheckImageAreas(session.get(), read, 2));
    EXPECT_EQ(host.Messages(FLASH_LEVEL_ERROR),
              (std::vector<std::string>{"Data outside the image's memory areas:", "0x20020000 - 0x200200ff"}));
    EXPECT_TRUE(CheckImageAreas(session.get(), read, 1));
}

TEST_F(FlashLayoutTest, ImageCrcRunsAcrossTouchingAreas) {
    SetAreas();
    std::vector<uint8_t> joined(data[0].end() - 0x80, data[0].end());
    joined.insert(joined.end(), data[1].begin(), data[1].begin() + 0x80);
    uint32_t crc = 0;
    ASSERT_TRUE(ImageCrc(&session->userImage, 0x2000FF80, 0x100, &crc));
    EXPECT_EQ(crc, Crc32(joined.data(), joined.size()));
    EXPECT_FALSE(ImageCrc(&session->userImage, 0x2001FF80, 0x100, &crc));
    EXPECT_EQ(AreaHoldingRange(&session->userImage, 0x2000FF80, 0x2001007F), kNoArea);
    EXPECT_EQ(AreaHoldingRange(&session->userImage, 0x20010000, 0x2001007F), 1u);
}

}  // namespace
