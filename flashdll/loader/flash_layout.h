// Where data lies in the handset's flash and in the user image, and how a
// transfer is cut: sector geometry, the checks of address ranges against
// the chips, the CFS areas and the image's memory areas, piece sizes chosen
// from the link, and the split of one TXDT transfer over the ports.
#pragma once

#include <cstdint>

#include "flashdll/flashdll.h"
#include "flashdll/loader/flash_ops.h"

struct Session;
struct ImageBuffer;

constexpr uint32_t kSlowLinkBaud = 115200;        // at or below: the small sizes
constexpr uint32_t kFastChunkBytes = 0x20000;     // 128 KiB per TXDT on a fast link
constexpr uint32_t kSlowChunkBytes = 0x4000;      // 16 KiB per TXDT on a slow link
constexpr uint32_t kFastReadPieceBytes = 8192;    // per SUCK on a fast link
constexpr uint32_t kSlowReadPieceBytes = 4096;    // per SUCK on a slow link
constexpr uint32_t kComparePieceBytes = 0x20000;  // 128 KiB per compared piece
constexpr uint32_t kSplitMinBytes = 1025;         // shorter transfers go as one part
constexpr uint32_t kMaxTransferParts = 2;
constexpr uint32_t kTxdtPayloadBytes = 48;        // 12 words

// LocateSector with the sector's address range.
bool LocateSectorSpan(const Session* session, uint32_t address, SectorSpan* span);

// Bytes per TXDT transfer: by the current port's link speed, lowered to the
// flash loader's maximum TX size (a maximum of 0 lowers nothing).
uint32_t ChunkSize(const Session* session);
// Bytes per SUCK request: by the link speed, lowered to the maximum RX size.
uint32_t ReadPieceSize(const Session* session);
// Length of the piece from `address`: at most `limit` and `remaining`, and
// ending at `last` at the latest.
uint32_t PieceLength(uint32_t address, uint32_t remaining, uint32_t limit, uint32_t last);

// The OPEN flags of a sector: bit 0 without extra protection, bit 1 when
// the region covers the sector only partly, bit 3 with extra protection,
// bit 4 always.
uint32_t OpenFlags(bool extraProtection, bool partial);

struct TransferPart {
    uint32_t uartNumber;  // of the port that carries the part (part k on port k)
    uint32_t offset;      // from the transfer's first address
    uint32_t length;
};
// Cuts a transfer of `length` bytes into one part per port by the ports'
// transfer shares (the last part takes the rest); transfers shorter than
// kSplitMinBytes go as one part on port 0. Returns the number of parts.
uint32_t SplitTransfer(const Session* session, uint32_t length,
                       TransferPart parts[kMaxTransferParts]);
// The TXDT request for address..address+length-1, which must lie inside
// memory area `areaIndex` of the user image.
void BuildTxdtPayload(const Session* session, uint32_t address, uint32_t length,
                      uint32_t areaIndex, uint8_t payload[kTxdtPayloadBytes]);

// Index of the area holding all of first..last, or kNoArea.
uint32_t AreaHoldingRange(const ImageBuffer* image, uint32_t first, uint32_t last);
// Last address of the area that holds `address` (the address itself when
// no area does).
uint32_t AreaLast(const ImageBuffer* image, uint32_t address);
// Crc32 of the user image's bytes at address..address+length-1 (they may
// span touching areas). False when some address has no area.
bool ImageCrc(const ImageBuffer* image, uint32_t address, uint32_t length, uint32_t* crc);
// True when every range lies inside the user image's memory areas; the
// rest is posted after "Data outside the image's memory areas:".
bool CheckImageAreas(Session* session, const FlashRange* ranges, uint32_t count);
// Sum of the sizes of the ranges.
uint32_t TotalSize(const FlashRange* ranges, uint32_t count);
