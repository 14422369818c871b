#include "flashdll/loader/flash_layout.h"

#include <cstring>

#include "flashdll/report/errors.h"
#include "flashdll/image/image_buffer.h"
#include "flashdll/image/ranges.h"
#include "flashdll/link/crc32.h"
#include "flashdll/link/le.h"
#include "flashdll/report/notify.h"
#include "flashdll/session/session.h"

namespace {

constexpr uint32_t kOpenFlagWithoutProtection = 0x01;
constexpr uint32_t kOpenFlagPartial = 0x02;
constexpr uint32_t kOpenFlagProtection = 0x08;
constexpr uint32_t kOpenFlagAlways = 0x10;

constexpr uint64_t kMinCfsWindowBytes = 64u << 20;  // a definition's window spans at least 64 MiB

constexpr uint32_t kTxdtDataKind = 1;     // word 2 of every TXDT request
constexpr uint32_t kPercent = 100;

// Room for a range list after cutting up to four pieces out of it (the
// chips or the image's areas): every cut that lies strictly inside a range
// adds one entry.
constexpr uint32_t kCutListCapacity = kMaxRegions + kMaxChips;
static_assert(kMaxAreas <= kMaxChips, "the areas are cut with the same room");

uint32_t Capped(uint32_t value, uint32_t limit) {
    return limit != 0 && limit < value ? limit : value;
}

// Removes `cuts` from a copy of `ranges` and posts what remains after
// `heading`. True when nothing remains.
bool ReportUncovered(Session* session, const char* heading, const FlashRange* ranges,
                     uint32_t count, const FlashRange* cuts, uint32_t cutCount) {
    static_assert(kCutListCapacity * sizeof(FlashRange) <= 16 * 1024, "kept on the stack");
    FlashRange rest[kCutListCapacity];
    if (count > kMaxRegions) {
        LogLine(session, "Too many ranges to check: %u", count);
        return false;
    }
    std::memcpy(rest, ranges, count * sizeof(FlashRange));
    uint32_t restCount = count;
    if (!SubtractRanges(rest, &restCount, kCutListCapacity, cuts, cutCount)) {
        LogLine(session, "Too many ranges to check: %u", count);
        return false;
    }
    if (restCount == 0) return true;
    PostHostMessage(session, FLASH_LEVEL_ERROR, "%s", heading);
    for (uint32_t i = 0; i < restCount; ++i) {
        PostHostMessage(session, FLASH_LEVEL_ERROR, "0x%08lx - 0x%08lx",
                        static_cast<unsigned long>(rest[i].first),
                        static_cast<unsigned long>(rest[i].last));
    }
    return false;
}

void PostCfsOverlap(Session* session, uint32_t address, uint64_t limit) {
    PostHostMessage(session, FLASH_LEVEL_ERROR, "0x%08lx is overlaped at CFS area(0x%08lx)",
                    static_cast<unsigned long>(address), static_cast<unsigned long>(limit));
}

// Applies one flash definition's CFS area, from its start to the end of the
// definition's window (the definition itself, at least 64 MiB), to every
// region that reaches into it.
uint32_t CheckOneCfsArea(Session* session, const FlashDefinition& definition,
                         FlashRange* regions, uint32_t count, bool clip) {
    // 64-bit: a base near the top of the address space plus the offset must
    // not wrap round to a low limit.
    const uint64_t limit = static_cast<uint64_t>(definition.base) + (definition.cfsStart & kCfsOffsetMask);
    const uint64_t windowBytes = definition.size > kMinCfsWindowBytes ? definition.size : kMinCfsWindowBytes;
    const uint64_t windowLast = static_cast<uint64_t>(definition.base) + windowBytes - 1;
    for (uint32_t i = 0; i < count; ++i) {
        FlashRange& region = regions[i];
        if (region.last < limit || region.first > windowLast) continue;
        if (region.first >= limit) {
            PostCfsOverlap(session, region.first, limit);
            return ERR_RANGES_OVERLAP;
        }
        if (!clip) {
            PostCfsOverlap(session, region.last, limit);
            return ERR_RANGES_OVERLAP;
        }
        region.last = static_cast<uint32_t>(limit - 1);
    }
    return SUCCESS;
}

}  // namespace

bool LocateSector(const Session* session, uint32_t address, SectorPosition* position) {
    const FlashLoaderInfo& info = session->flashLoader;
    const uint32_t chips = info.chipCount < kMaxChips ? info.chipCount : kMaxChips;
    for (uint32_t c = 0; c < chips; ++c) {
        const FlashChipRecord& chip = info.chips[c];
        if (address < chip.startAddress || address > chip.endAddress) continue;
        const uint32_t offset = address - chip.startAddress;
        const uint32_t sectors = chip.sectorCount < kMaxBoundaries ? chip.sectorCount : kMaxBoundaries - 1;
        for (uint32_t k = 1; k <= sectors; ++k) {
            if (offset < chip.boundaries[k]) {
                *position = SectorPosition{c, k - 1};
                return true;
            }
        }
        return false;  // the first chip holding the address decides
    }
    return false;
}

bool LocateSectorSpan(const Session* session, uint32_t address, SectorSpan* span) {
    SectorPosition position;
    if (!LocateSector(session, address, &position)) return false;
    const FlashChipRecord& chip = session->flashLoader.chips[position.chip];
    span->position = position;
    span->address = chip.startAddress + chip.boundaries[position.sector];
    span->size = chip.boundaries[position.sector + 1] - chip.boundaries[position.sector];
    span->last = span->address + span->size - 1;
    return true;
}

bool CheckFlashRanges(Session* session, const FlashRange* ranges, uint32_t count) {
    const FlashLoaderInfo& info = session->flashLoader;
    FlashRange chips[kMaxChips];
    const uint32_t chipCount = info.chipCount < kMaxChips ? info.chipCount : kMaxChips;
    for (uint32_t c = 0; c < chipCount; ++c) {
        chips[c] = FlashRange{info.chips[c].startAddress, info.chips[c].endAddress};
    }
    return ReportUncovered(session, "Data outside flash memory:", ranges, count, chips, chipCount);
}

uint32_t CheckCfsArea(Session* session, FlashRange* regions, uint32_t count, bool clip) {
    const PlatformRecord& platform = session->platform;
    const uint32_t definitions = platform.flashDefinitionCount < kMaxFlashDefinitions
                                     ? platform.flashDefinitionCount
                                     : kMaxFlashDefinitions;
    for (uint32_t d = 0; d < definitions; ++d) {
        const FlashDefinition& definition = platform.flashDefinitions[d];
        if ((definition.cfsStart & kCfsDefined) == 0) continue;
        const uint32_t code = CheckOneCfsArea(session, definition, regions, count, clip);
        if (code != SUCCESS) return code;
    }
    return SUCCESS;
}

uint32_t ChunkSize(const Session* session) {
    const uint32_t speed = session->ports[session->currentPort].linkSpeed;
    return Capped(speed > kSlowLinkBaud ? kFastChunkBytes : kSlowChunkBytes,
                  session->flashLoader.maxTxSize);
}

uint32_t ReadPieceSize(const Session* session) {
    const uint32_t speed = session->ports[session->currentPort].linkSpeed;
    return Capped(speed > kSlowLinkBaud ? kFastReadPieceBytes : kSlowReadPieceBytes,
                  session->flashLoader.maxRxSize);
}

uint32_t PieceLength(uint32_t address, uint32_t remaining, uint32_t limit, uint32_t last) {
    uint32_t piece = remaining < limit ? remaining : limit;
    const uint32_t untilLast = last - address + 1;  // 0 only for a whole 4-GiB span
    if (untilLast != 0 && untilLast < piece) piece = untilLast;
    return piece;
}

uint32_t OpenFlags(bool extraProtection, bool partial) {
    uint32_t flags = kOpenFlagAlways;
    flags |= extraProtection ? kOpenFlagProtection : kOpenFlagWithoutProtection;
    if (partial) flags |= kOpenFlagPartial;
    return flags;
}

uint32_t SplitTransfer(const Session* session, uint32_t length, TransferPart parts[kMaxTransferParts]) {
    uint32_t count = session->portCount;
    if (length < kSplitMinBytes || count < 1) count = 1;
    if (count > kMaxTransferParts) count = kMaxTransferParts;
    uint32_t offset = 0;
    for (uint32_t k = 0; k < count; ++k) {
        uint32_t part = length - offset;  // the last part takes the rest
        if (k + 1 < count) {
            const uint32_t share = Capped(session->ports[k].transferShare, kPercent);
            part = static_cast<uint32_t>(static_cast<uint64_t>(share) * length / kPercent);
        }
        parts[k] = TransferPart{session->ports[k].uartNumber, offset, part};
        offset += part;
    }
    return count;
}

void BuildTxdtPayload(const Session* session, uint32_t address, uint32_t length,
                      uint32_t areaIndex, uint8_t payload[kTxdtPayloadBytes]) {
    std::memset(payload, 0, kTxdtPayloadBytes);
    TransferPart parts[kMaxTransferParts];
    const uint32_t count = SplitTransfer(session, length, parts);
    const MemoryArea& area = session->userImage.areas[areaIndex];
    const uint8_t* data = area.data + (address - area.first);
    PutLe32(payload + 0, address);
    PutLe32(payload + 4, length);
    PutLe32(payload + 8, kTxdtDataKind);
    PutLe32(payload + 12, areaIndex << 16 | count);
    for (uint32_t k = 0; k < count; ++k) {
        uint8_t* descriptor = payload + 16 + 16 * k;
        PutLe32(descriptor + 0, parts[k].uartNumber);
        PutLe32(descriptor + 4, parts[k].offset);
        PutLe32(descriptor + 8, parts[k].length);
        PutLe32(descriptor + 12, Crc32(data + parts[k].offset, parts[k].length));
    }
}

uint32_t AreaHoldingRange(const ImageBuffer* image, uint32_t first, uint32_t last) {
    const uint32_t index = FindArea(image, first);
    if (index == kNoArea || last < first || last > image->areas[index].last) return kNoArea;
    return index;
}

uint32_t AreaLast(const ImageBuffer* image, uint32_t address) {
    const uint32_t index = FindArea(image, address);
    return index == kNoArea ? address : image->areas[index].last;
}

bool ImageCrc(const ImageBuffer* image, uint32_t address, uint32_t length, uint32_t* crc) {
    uint32_t value = Crc32(nullptr, 0);
    while (length > 0) {
        const uint32_t index = FindArea(image, address);
        if (index == kNoArea || image->areas[index].data == nullptr) return false;
        const MemoryArea& area = image->areas[index];
        const uint32_t piece = PieceLength(address, length, length, area.last);
        value = Crc32Update(value, area.data + (address - area.first), piece);
        address += piece;
        length -= piece;
    }
    *crc = value;
    return true;
}

bool CheckImageAreas(Session* session, const FlashRange* ranges, uint32_t count) {
    const ImageBuffer& image = session->userImage;
    FlashRange areas[kMaxAreas];
    const uint32_t areaCount = image.areaCount < kMaxAreas ? image.areaCount : kMaxAreas;
    for (uint32_t a = 0; a < areaCount; ++a) {
        areas[a] = FlashRange{image.areas[a].first, image.areas[a].last};
    }
    return ReportUncovered(session, "Data outside the image's memory areas:", ranges, count,
                           areas, areaCount);
}

uint32_t TotalSize(const FlashRange* ranges, uint32_t count) {
    uint32_t total = 0;
    for (uint32_t i = 0; i < count; ++i) total += ranges[i].last - ranges[i].first + 1;
    return total;
}
