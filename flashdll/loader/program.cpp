// Programming the user image into flash: the checks before anything is
// sent, erasing unused memory, and the walk over the image's regions sector
// by sector; the held-back word (held_back.cpp) is written last.
#include "flashdll/report/errors.h"
#include "flashdll/image/image_buffer.h"
#include "flashdll/image/ranges.h"
#include "flashdll/link/serial.h"
#include "flashdll/loader/fl_command.h"
#include "flashdll/loader/flash_commands.h"
#include "flashdll/loader/flash_layout.h"
#include "flashdll/loader/flash_ops.h"
#include "flashdll/loader/held_back.h"
#include "flashdll/report/notify.h"
#include "flashdll/session/session.h"
#include "flashdll/report/size_text.h"

namespace {

unsigned long Ul(uint32_t value) { return static_cast<unsigned long>(value); }

struct RunSettings {
    uint32_t limit;        // attempt limit of every retry
    bool difference;       // compare sectors first, program only those that differ
    bool extraProtection;  // erase before close, OPEN flags with bit 3
    uint32_t chunk;        // bytes per transfer
};

// A place in the walk; saved when a sector is entered and on a difference.
struct Position {
    uint32_t region;
    uint32_t address;
    uint32_t remaining;
    uint32_t progress;
};

struct Walk {
    const FlashRange* regions;
    uint32_t count;
    RunSettings settings;
    Position at;
    bool haveSector;    // `sector` is the current sector
    SectorSpan sector;
    bool open;          // the current sector is open on the flash loader
    bool comparing;     // difference mode: the current sector is still compared
    uint32_t budget;    // restarts left after failed closes
    TransferSize size;  // bytes per transfer, smaller while the line is bad
    Position entered;   // where the pass entered the current sector
    Position goBack;    // where programming starts after a difference
};

void PostRangeLine(Session* session, uint32_t number, const FlashRange& range) {
    PostHostMessage(session, FLASH_LEVEL_INFO, "%2u: 0x%08lx - 0x%08lx = %10lu Bytes", number,
                    Ul(range.first), Ul(range.last), Ul(range.last - range.first + 1));
}

void PostReservedRegions(Session* session) {
    const uint32_t count = session->options.reservedcount;
    if (count == 0) {
        PostHostMessage(session, FLASH_LEVEL_INFO, "There are no reserved regions defined");
    } else if (count == 1) {
        PostHostMessage(session, FLASH_LEVEL_INFO, "There is 1 reserved region defined:");
    } else {
        PostHostMessage(session, FLASH_LEVEL_INFO, "There are %u reserved regions defined:", count);
    }
    for (uint32_t i = 0; i < count && i < FLASH_MAX_RANGES; ++i) {
        PostRangeLine(session, i + 1, session->options.reserved[i]);
    }
}

void PostRegionsToFlash(Session* session, const ImageBuffer& image) {
    if (image.regionCount == 1) {
        PostHostMessage(session, FLASH_LEVEL_INFO, "1 memory region has to be flashed:");
    } else {
        PostHostMessage(session, FLASH_LEVEL_INFO, "%u memory regions have to be flashed:",
                        image.regionCount);
    }
    for (uint32_t i = 0; i < image.regionCount; ++i) {
        PostRangeLine(session, i + 1, image.regions[i]);
    }
}

// The whole flash outside the reserved ranges (and the CFS areas) becomes
// the list of regions to program; the image's fill stands where it holds
// no data.
uint32_t PlanEraseUnused(Session* session) {
    PostHostMessage(session, FLASH_LEVEL_INFO, "'Erase unused memory' option is ENABLED !");
    ImageBuffer& image = session->userImage;
    const FlashLoaderInfo& info = session->flashLoader;
    image.regionCount = 0;
    for (uint32_t c = 0; c < info.chipCount && c < kMaxChips; ++c) {
        image.regions[image.regionCount++] = FlashRange{info.chips[c].startAddress, info.chips[c].endAddress};
    }
    const FlashLoadOptions& options = session->options;
    const uint32_t reserved = options.reservedcount < FLASH_MAX_RANGES ? options.reservedcount : FLASH_MAX_RANGES;
    if (!SubtractRanges(image.regions, &image.regionCount, kMaxRegions, options.reserved, reserved)) {
        LogLine(session, "Too many memory regions to flash");
        return ERR_TOO_MANY_RANGES;
    }
    if (options.sparenand == 0) {
        const uint32_t code = CheckCfsArea(session, image.regions, image.regionCount, true);
        if (code != SUCCESS) return code;
    }
    PostRegionsToFlash(session, image);
    // Every transfer takes its bytes from the image: a chip larger than the
    // image's memory areas cannot be programmed as a whole.
    return CheckImageAreas(session, image.regions, image.regionCount) ? SUCCESS : ERR_RANGE_OUTSIDE_FLASH;
}

// Steps before anything goes to the flash loader; `total` receives the
// number of bytes to program.
uint32_t PrepareRegions(Session* session, uint32_t* total) {
    ImageBuffer& image = session->userImage;
    if (!CheckFlashRanges(session, image.regions, image.regionCount)) return ERR_RANGE_OUTSIDE_FLASH;
    uint32_t code = CheckCfsArea(session, image.regions, image.regionCount, false);
    if (code != SUCCESS) return code;
    PostReservedRegions(session);
    HoldBackWord(session);
    if (session->options.eraseunused != 0) {
        code = PlanEraseUnused(session);
        if (code != SUCCESS) return code;
    }
    code = CheckHeldBackSector(session);
    if (code != SUCCESS) return code;
    *total = TotalSize(image.regions, image.regionCount);
    return SUCCESS;
}

RunSettings SettingsOf(const Session* session) {
    const FlashLoadOptions& options = session->options;
    RunSettings settings;
    settings.limit = AttemptLimit(session);
    settings.extraProtection = options.extprotect != 0;
    settings.difference = options.diff != 0 && !settings.extraProtection;
    settings.chunk = ChunkSize(session);
    return settings;
}

void BeginRegion(Walk* walk, uint32_t region) {
    const FlashRange& range = walk->regions[region];
    walk->at.region = region;
    walk->at.address = range.first;
    walk->at.remaining = range.last - range.first + 1;
    walk->comparing = walk->settings.difference;
    walk->goBack = walk->at;
}

bool SameSector(const SectorSpan& a, const SectorSpan& b) {
    return a.position.chip == b.position.chip && a.position.sector == b.position.sector;
}

// Erases the open sector (with extra protection only) and closes it, the
// close in one attempt.
uint32_t FinishSector(Session* session, const Walk& walk) {
    if (walk.settings.extraProtection) {
        const uint32_t code = EraseSectorWithRetries(session, walk.sector, walk.settings.limit);
        if (code != SUCCESS) return code;
    }
    return CloseSector(session, walk.sector);
}

// A close that failed on the link or in the flash loader costs one restart:
// the sector is programmed again from where the pass entered it. A reply
// broken on the way (ERR_PROTOCOL, ERR_CRC) says as little about the close
// as a reply that never came.
uint32_t RestartSector(Session* session, Walk* walk, uint32_t closeCode, bool* restarted) {
    const bool restartable = closeCode == ERR_CMD_FAILED || closeCode == ERR_TIMEOUT ||
                             closeCode == ERR_PROTOCOL || closeCode == ERR_CRC;
    if (!restartable || walk->budget == 0) return closeCode;
    const uint32_t sync = FLSync(session);
    if (sync == ERR_ABORT) return ERR_ABORT;
    if (sync != SUCCESS) return closeCode;
    --walk->budget;
    walk->haveSector = false;
    walk->open = false;
    walk->at = walk->entered;
    *restarted = true;
    return SUCCESS;
}

// Leaves the current sector for another one.
uint32_t LeaveSector(Session* session, Walk* walk, bool* restarted) {
    if (!walk->haveSector || !walk->open) return SUCCESS;
    const uint32_t code = FinishSector(session, *walk);
    if (code != SUCCESS) return RestartSector(session, walk, code, restarted);
    walk->open = false;
    walk->budget = walk->settings.limit;
    walk->comparing = walk->settings.difference;
    return SUCCESS;
}

uint32_t EnterSector(Session* session, Walk* walk, const SectorSpan& sector) {
    walk->entered = walk->at;
    const FlashRange& region = walk->regions[walk->at.region];
    const bool partial = region.first > sector.address || region.last < sector.last;
    const uint32_t flags = OpenFlags(walk->settings.extraProtection, partial);
    if (!walk->settings.difference || walk->comparing) {
        LogLine(session, "Sector: %u/%u", sector.position.chip, sector.position.sector);
    }
    if (!walk->comparing) {
        const uint32_t code = OpenSectorWithRetries(session, sector, flags, walk->settings.limit);
        if (code != SUCCESS) return code;
        walk->open = true;
    }
    walk->haveSector = true;
    walk->sector = sector;
    walk->goBack = walk->at;
    return SUCCESS;
}

void Advance(Session* session, Walk* walk, uint32_t piece) {
    walk->at.address += piece;
    walk->at.remaining -= piece;
    walk->at.progress += piece;
    ProgressUpdate(session, walk->at.progress);
}

// Compares the next piece with the flash. A difference sends the walk back
// to where the sector's programming starts.
uint32_t ComparePiece(Session* session, Walk* walk) {
    const Position& at = walk->at;
    const uint32_t piece = PieceLength(at.address, at.remaining, kComparePieceBytes, walk->sector.last);
    const uint32_t code = CompareRange(session, at.address, piece);
    if (code == ERR_VERIFY_DIFFERENCE) {
        walk->at = walk->goBack;
        walk->comparing = false;
        walk->haveSector = false;
        return SUCCESS;
    }
    if (code == SUCCESS) Advance(session, walk, piece);
    return code;
}

// A transfer takes its bytes from one memory area and ends in the sector.
uint32_t LastSendableAddress(const Session* session, const Walk& walk) {
    const uint32_t last = AreaLast(&session->userImage, walk.at.address);
    return walk.sector.last < last ? walk.sector.last : last;
}

uint32_t SendPiece(Session* session, Walk* walk) {
    const Position& at = walk->at;
    const uint32_t last = LastSendableAddress(session, *walk);
    uint32_t piece = PieceLength(at.address, at.remaining, walk->size.current, last);
    const uint32_t code =
        SendPieceWithRetries(session, at.address, &piece, walk->settings.limit, &walk->size);
    if (code == SUCCESS) Advance(session, walk, piece);
    return code;
}

// Compares or sends the next piece of the current sector.
uint32_t TransferPiece(Session* session, Walk* walk) {
    return walk->comparing ? ComparePiece(session, walk) : SendPiece(session, walk);
}

// One step of the walk: find the sector of the present address, change
// sectors when needed, then handle one piece.
uint32_t WalkStep(Session* session, Walk* walk) {
    SectorSpan sector;
    if (!LocateSectorSpan(session, walk->at.address, &sector)) {
        LogLine(session, "No sector holds 0x%08lx", Ul(walk->at.address));
        return ERR_UNKNOWN;
    }
    if (walk->haveSector && SameSector(sector, walk->sector)) {
        if (walk->settings.difference && walk->open) walk->comparing = false;
        return TransferPiece(session, walk);
    }
    bool restarted = false;
    uint32_t code = LeaveSector(session, walk, &restarted);
    if (code != SUCCESS || restarted) return code;
    code = EnterSector(session, walk, sector);
    if (code != SUCCESS) return code;
    return TransferPiece(session, walk);
}

// Walks on from the present position to the end of the last region.
uint32_t ContinueWalk(Session* session, Walk* walk) {
    while (walk->at.region < walk->count) {
        if (walk->at.remaining == 0) {
            if (walk->at.region + 1 < walk->count) {
                BeginRegion(walk, walk->at.region + 1);
            } else {
                ++walk->at.region;
            }
            continue;
        }
        const uint32_t code = WalkStep(session, walk);
        if (code != SUCCESS) return code;
    }
    return SUCCESS;
}

uint32_t ProgramRegions(Session* session, Walk* walk) {
    if (walk->count == 0) return SUCCESS;
    BeginRegion(walk, 0);
    return ContinueWalk(session, walk);
}

// The last sector is closed as every other one: a close that fails costs a
// restart of the sector rather than a repeated CLOS, which a flash loader
// that did close the sector (and only its reply was lost) would refuse.
uint32_t CloseLastSector(Session* session, Walk* walk) {
    while (walk->haveSector && walk->open) {
        bool restarted = false;
        uint32_t code = LeaveSector(session, walk, &restarted);
        if (code == SUCCESS && restarted) code = ContinueWalk(session, walk);
        if (code != SUCCESS) return code;
    }
    return SUCCESS;
}

uint32_t ProgramImage(Session* session, const RunSettings& settings) {
    Walk walk = {};
    walk.regions = session->userImage.regions;
    walk.count = session->userImage.regionCount;
    walk.settings = settings;
    walk.budget = settings.limit;
    walk.size = StartTransferSize(settings.chunk);
    uint32_t code = ReadBackHeldBackSector(session);
    if (code == SUCCESS) code = ProgramRegions(session, &walk);
    if (code == SUCCESS) code = CloseLastSector(session, &walk);
    if (code == SUCCESS && session->heldBack.kept) {
        code = RewriteHeldBackSector(session, settings.limit, &walk.size);
    }
    return code;
}

}  // namespace

uint32_t LoadFlash(Session* session) {
    uint32_t total = 0;
    uint32_t code = PrepareRegions(session, &total);
    if (code != SUCCESS) return code;
    char size[kSizeTextSize];
    PostHostMessage(session, FLASH_LEVEL_INFO, "Data to be transferred: %s",
                    SizeText(total, size, sizeof size));
    ProgressBegin(session, "Loading Flash ...", total);
    code = SetupWithRetries(session, SetupRecovery::Flush);
    if (code != SUCCESS) return code;
    code = ProgramImage(session, SettingsOf(session));
    if (code != SUCCESS) return code;
    if (session->options.mode == FLASH_MODE_FLASH) Done(session);
    ProgressEnd(session);
    return SUCCESS;
}
