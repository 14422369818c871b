// Verify (flash against the user image, by CRC) and read-back (flash ranges
// into the user image and from there into an S-record file).
#include <cstring>

#include "flashdll/report/errors.h"
#include "flashdll/image/image_buffer.h"
#include "flashdll/image/srec_writer.h"
#include "flashdll/loader/fl_command.h"
#include "flashdll/loader/flash_commands.h"
#include "flashdll/loader/flash_layout.h"
#include "flashdll/loader/flash_ops.h"
#include "flashdll/link/fourcc.h"
#include "flashdll/link/le.h"
#include "flashdll/report/notify.h"
#include "flashdll/os/thread.h"
#include "flashdll/session/thread_priority.h"
#include "flashdll/session/session.h"
#include "flashdll/report/size_text.h"

namespace {

constexpr uint32_t kReadTimeoutMs = 10000;
constexpr uint32_t kSuck = FourCC("SUCK");

// The largest read piece; replies land here before they are copied.
constexpr uint32_t kReadReplyCapacity = kFastReadPieceBytes;
static_assert(kReadReplyCapacity >= kErrorRecordSize, "room for an error record");

unsigned long Ul(uint32_t value) { return static_cast<unsigned long>(value); }

uint32_t VerifyRegion(Session* session, const FlashRange& region, uint32_t limit) {
    uint32_t address = region.first;
    uint32_t remaining = region.last - region.first + 1;
    while (remaining > 0) {
        SectorSpan sector;
        if (!LocateSectorSpan(session, address, &sector)) return ERR_UNKNOWN;
        const uint32_t piece = PieceLength(address, remaining, kVerifyPieceBytes, sector.last);
        const uint32_t code = VerifyWithRetries(session, address, piece, true, limit);
        if (code != SUCCESS) return code;
        address += piece;
        remaining -= piece;
        ProgressAdvance(session, piece);
    }
    return SUCCESS;
}

void PostReadRegions(Session* session, const FlashRange* ranges, uint32_t count) {
    char size[kSizeTextSize];
    for (uint32_t i = 0; i < count; ++i) {
        PostHostMessage(session, FLASH_LEVEL_INFO, "Read region %2u: 0x%08lx - 0x%08lx: %s", i,
                        Ul(ranges[i].first), Ul(ranges[i].last),
                        SizeText(ranges[i].last - ranges[i].first + 1, size, sizeof size));
    }
}

struct ReadRequest {
    uint32_t address;
    uint32_t length;
    uint8_t* destination;
};

uint32_t ReadOperation(Session* session, void* context) {
    const auto* request = static_cast<const ReadRequest*>(context);
    return ReadData(session, request->address, request->length, request->destination);
}

// ReadData under the retry-with-resync rule; a pending abort shows in the
// next exchange's wait.
uint32_t ReadWithRetries(Session* session, uint32_t address, uint32_t length, uint8_t* destination) {
    ReadRequest request{address, length, destination};
    return RetryWithResync(session, "ReadData", AttemptLimit(session), ReadOperation, &request, false);
}

// Names the bytes the pass goes through ("Data to be verified: ..."), opens
// the progress display and sets the flash loader up.
uint32_t BeginPass(Session* session, const char* done, const char* title, uint32_t total) {
    char size[kSizeTextSize];
    PostHostMessage(session, FLASH_LEVEL_INFO, "Data to be %s: %s", done, SizeText(total, size, sizeof size));
    ProgressBegin(session, title, total);
    return SetupWithRetries(session, SetupRecovery::Resync);
}

uint32_t SaveReadRegions(Session* session) {
    PushThreadPriority(session, os::kPriorityNormal);
    const uint32_t code = SaveSRecordFile(session, &session->userImage);
    PopThreadPriority(session);
    return code;
}

}  // namespace

uint32_t VerifyFlash(Session* session) {
    const ImageBuffer& image = session->userImage;
    if (!CheckFlashRanges(session, image.regions, image.regionCount)) return ERR_RANGE_OUTSIDE_FLASH;
    const uint32_t total = TotalSize(image.regions, image.regionCount);
    uint32_t code = BeginPass(session, "verified", "Verifying Flash ...", total);
    if (code != SUCCESS) return code;
    const uint32_t limit = AttemptLimit(session);
    for (uint32_t i = 0; i < image.regionCount; ++i) {
        code = VerifyRegion(session, image.regions[i], limit);
        if (code != SUCCESS) return code;
    }
    Done(session);
    ProgressEnd(session);
    return SUCCESS;
}

uint32_t ReadFlash(Session* session) {
    const FlashLoadOptions& options = session->options;
    const uint32_t count = options.readcount < FLASH_MAX_RANGES ? options.readcount : FLASH_MAX_RANGES;
    if (!CheckFlashRanges(session, options.read, count)) return ERR_RANGE_OUTSIDE_FLASH;
    // A range inside a chip but outside the image's memory areas has no
    // place to be read into.
    if (!CheckImageAreas(session, options.read, count)) return ERR_RANGE_OUTSIDE_FLASH;
    PostReadRegions(session, options.read, count);
    const uint32_t total = TotalSize(options.read, count);
    uint32_t code = BeginPass(session, "read", "Reading Flash ...", total);
    if (code != SUCCESS) return code;
    const uint32_t pieceLimit = ReadPieceSize(session);
    for (uint32_t i = 0; i < count; ++i) {
        code = ReadRangeIntoImage(session, options.read[i], pieceLimit, true);
        if (code != SUCCESS) return code;
    }
    Done(session);
    ProgressEnd(session);
    return SaveReadRegions(session);
}

// The range was checked to lie inside the user image's memory areas.
uint32_t ReadRangeIntoImage(Session* session, const FlashRange& range, uint32_t pieceLimit,
                            bool countProgress) {
    ImageBuffer& image = session->userImage;
    uint32_t address = range.first;
    uint32_t remaining = range.last - range.first + 1;
    while (remaining > 0) {
        const uint32_t index = FindArea(&image, address);
        if (index == kNoArea || image.areas[index].data == nullptr) return ERR_RANGE_OUTSIDE_FLASH;
        const MemoryArea& area = image.areas[index];
        const uint32_t piece = PieceLength(address, remaining, pieceLimit, area.last);
        const uint32_t code = ReadWithRetries(session, address, piece, area.data + (address - area.first));
        if (code != SUCCESS) return code;
        address += piece;
        remaining -= piece;
        if (countProgress) ProgressAdvance(session, piece);
    }
    return SUCCESS;
}

uint32_t ReadData(Session* session, uint32_t address, uint32_t length, uint8_t* destination) {
    LogLine(session, "ReadData: 0x%08lx - 0x%08lx", Ul(address), Ul(address + length - 1));
    if (length == 0 || length > kReadReplyCapacity) {
        LogLine(session, "ReadData: %lu bytes cannot be read at once", Ul(length));
        return ERR_BAD_PARAMS;
    }
    // The reply goes to a buffer of its own: an error record is longer than
    // a short read, and a broken reply must not reach the image.
    uint8_t reply[kReadReplyCapacity];
    uint8_t payload[8];
    PutLe32(payload, address);
    PutLe32(payload + 4, length);
    const uint32_t code = FLSendCmd(session, kSuck, sizeof payload, payload, length, reply, kReadTimeoutMs);
    if (code != SUCCESS) {
        char name[kErrorNameSize];
        LogLine(session, "FLSendCmd(suck): %u (%s)", code, ErrorName(code, name));
        return code;
    }
    std::memcpy(destination, reply, length);
    return SUCCESS;
}
