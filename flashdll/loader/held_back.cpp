#include "flashdll/loader/held_back.h"

#include <cstring>

#include "flashdll/report/errors.h"
#include "flashdll/image/image_buffer.h"
#include "flashdll/image/ranges.h"
#include "flashdll/loader/flash_commands.h"
#include "flashdll/loader/flash_ops.h"
#include "flashdll/report/notify.h"
#include "flashdll/session/session.h"

namespace {

constexpr uint32_t kRewriteOpenFlags = 0x01;
constexpr uint8_t kErasedByte = 0xFF;

// The parts of the kept word's sector that no region of the user image
// covers; at most one more part than there are regions.
bool SectorOutsideRegions(const Session* session, FlashRange* parts, uint32_t* count) {
    const ImageBuffer& image = session->userImage;
    const SectorSpan& sector = session->heldBack.sector;
    parts[0] = FlashRange{sector.address, sector.last};
    *count = 1;
    return SubtractRanges(parts, count, kMaxRegions + 1, image.regions, image.regionCount);
}

}  // namespace

// A region shorter than a word has no last word of its own: the bytes
// before it, possibly in another sector, must not be rewritten.
void HoldBackWord(Session* session) {
    HeldBackWord& held = session->heldBack;
    held = HeldBackWord{};
    ImageBuffer& image = session->userImage;
    for (uint32_t i = 0; i < image.regionCount; ++i) {
        const FlashRange& region = image.regions[i];
        if (region.first != kHeldBackRegionStart) continue;
        if (region.last - region.first + 1 < kHeldBackWordBytes) return;
        const uint32_t address = region.last - (kHeldBackWordBytes - 1);
        const uint32_t area = AreaHoldingRange(&image, address, region.last);
        SectorSpan sector;
        if (area == kNoArea || !LocateSectorSpan(session, address, &sector)) return;
        uint8_t* bytes = image.areas[area].data + (address - image.areas[area].first);
        std::memcpy(held.bytes, bytes, kHeldBackWordBytes);
        std::memset(bytes, kErasedByte, kHeldBackWordBytes);
        held.kept = true;
        held.address = address;
        held.sector = sector;
        return;
    }
}

uint32_t CheckHeldBackSector(Session* session) {
    const HeldBackWord& held = session->heldBack;
    if (!held.kept) return SUCCESS;
    const FlashRange sector{held.sector.address, held.sector.last};
    return CheckImageAreas(session, &sector, 1) ? SUCCESS : ERR_RANGE_OUTSIDE_FLASH;
}

uint32_t ReadBackHeldBackSector(Session* session) {
    if (!session->heldBack.kept) return SUCCESS;
    FlashRange parts[kMaxRegions + 1];
    uint32_t count = 0;
    if (!SectorOutsideRegions(session, parts, &count)) return ERR_TOO_MANY_RANGES;
    const uint32_t pieceLimit = ReadPieceSize(session);
    for (uint32_t i = 0; i < count; ++i) {
        LogLine(session, "Keeping 0x%08lx - 0x%08lx of the held-back word's sector",
                static_cast<unsigned long>(parts[i].first), static_cast<unsigned long>(parts[i].last));
        const uint32_t code = ReadRangeIntoImage(session, parts[i], pieceLimit, false);
        if (code != SUCCESS) return code;
    }
    return SUCCESS;
}

uint32_t RewriteHeldBackSector(Session* session, uint32_t limit, TransferSize* size) {
    ImageBuffer& image = session->userImage;
    const HeldBackWord& held = session->heldBack;
    const uint32_t area = FindArea(&image, held.address);
    std::memcpy(image.areas[area].data + (held.address - image.areas[area].first), held.bytes,
                kHeldBackWordBytes);
    const SectorSpan& sector = held.sector;
    uint32_t code = OpenSectorWithRetries(session, sector, kRewriteOpenFlags, limit);
    uint32_t address = sector.address;
    uint32_t remaining = sector.size;
    while (code == SUCCESS && remaining > 0) {
        uint32_t last = AreaLast(&image, address);
        if (sector.last < last) last = sector.last;
        uint32_t piece = PieceLength(address, remaining, size->current, last);
        code = SendPieceWithRetries(session, address, &piece, limit, size);
        address += piece;
        remaining -= piece;
    }
    if (code != SUCCESS) return code;
    return CloseSectorWithRetries(session, sector, limit);
}
