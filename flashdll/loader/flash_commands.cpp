#include "flashdll/loader/flash_commands.h"

#include "flashdll/report/errors.h"
#include "flashdll/image/image_buffer.h"
#include "flashdll/link/serial.h"
#include "flashdll/loader/fl_command.h"
#include "flashdll/link/fourcc.h"
#include "flashdll/link/le.h"
#include "flashdll/loader/fl_frames.h"
#include "flashdll/report/notify.h"
#include "flashdll/session/session.h"

namespace {

constexpr uint32_t kSetupTimeoutMs = 5000;
constexpr uint32_t kOpenTimeoutMs = 5000;
constexpr uint32_t kSendTimeoutMs = 15000;
constexpr uint32_t kCloseTimeoutMs = 30000;
constexpr uint32_t kEraseTimeoutMs = 3000;
constexpr uint32_t kVerifyTimeoutMs = 3000;
constexpr uint32_t kDoneTimeoutMs = 3000;

constexpr uint32_t kSetupChipSlots = 4;
constexpr uint32_t kSetupPayloadWords = 1 + 2 * kSetupChipSlots;
constexpr uint32_t kOpenTrailerWord = 0xFF;  // last word of every OPEN request

constexpr uint32_t kSetp = FourCC("SETP");
constexpr uint32_t kOpen = FourCC("OPEN");
constexpr uint32_t kClos = FourCC("CLOS");
constexpr uint32_t kEras = FourCC("ERAS");
constexpr uint32_t kVrfy = FourCC("VRFY");
constexpr uint32_t kDone = FourCC("DONE");

unsigned long Ul(uint32_t value) { return static_cast<unsigned long>(value); }

uint32_t SectorWord(const SectorPosition& position) {
    return position.chip << 16 | position.sector;
}

// manufacturer << 24 | method << 16 | family << 8 | write buffer / 8, each
// cut to a byte.
uint32_t ChipSetupWord(const FlashChipRecord& chip) {
    return (chip.manufacturerId & 0xFFu) << 24 | (chip.method & 0xFFu) << 16 |
           (chip.family & 0xFFu) << 8 | ((chip.writeBufferSize / 8u) & 0xFFu);
}

// Sends a command whose reply carries no data.
uint32_t SendWithoutReply(Session* session, uint32_t command, const uint8_t* payload,
                          uint32_t payloadBytes, uint32_t timeoutMs) {
    uint8_t reply[kErrorRecordSize];
    return FLSendCmd(session, command, payloadBytes, payload, 0, reply, timeoutMs);
}

struct OpenRequest {
    const SectorSpan* sector;
    uint32_t flags;
};

struct SendRequest {
    uint32_t address;
    uint32_t length;
};

uint32_t OpenOperation(Session* session, void* context) {
    const auto* request = static_cast<const OpenRequest*>(context);
    return OpenSector(session, *request->sector, request->flags);
}

uint32_t SendOperation(Session* session, void* context) {
    const auto* request = static_cast<const SendRequest*>(context);
    return SendData(session, request->address, request->length);
}

uint32_t CloseOperation(Session* session, void* context) {
    return CloseSector(session, *static_cast<const SectorSpan*>(context));
}

uint32_t EraseOperation(Session* session, void* context) {
    return EraseSector(session, *static_cast<const SectorSpan*>(context));
}

bool SetupSettled(uint32_t code) { return code == SUCCESS || code == ERR_ABORT; }
bool SendSettled(uint32_t code) { return code == SUCCESS || code == ERR_ABORT; }

// Results that no further VRFY attempt can change.
bool VerifySettled(uint32_t code) {
    return code == SUCCESS || code == ERR_ABORT || code == ERR_VERIFY_DIFFERENCE ||
           code == ERR_RANGE_OUTSIDE_FLASH;
}

}  // namespace

uint32_t Setup(Session* session) {
    LogLine(session, "Setup");
    const FlashLoaderInfo& info = session->flashLoader;
    uint8_t payload[kSetupPayloadWords * 4] = {};
    PutLe32(payload, session->options.erase);
    for (uint32_t slot = 0; slot < kSetupChipSlots && slot < info.chipCount; ++slot) {
        PutLe32(payload + 4 + 8 * slot, info.chips[slot].deviceId);
        PutLe32(payload + 8 + 8 * slot, ChipSetupWord(info.chips[slot]));
    }
    uint8_t reply[kErrorRecordSize];
    return FLSendCmd(session, kSetp, sizeof payload, payload, kFlWordBytes, reply,
                     kSetupTimeoutMs);
}

uint32_t Done(Session* session) {
    LogLine(session, "Done");
    return SendWithoutReply(session, kDone, nullptr, 0, kDoneTimeoutMs);
}

uint32_t VerifyData(Session* session, uint32_t address, uint32_t length, bool loud) {
    const uint32_t last = address + length - 1;
    LogLine(session, "VerifyData: 0x%08lx - 0x%08lx", Ul(address), Ul(last));
    uint32_t imageCrc = 0;
    if (length == 0 || !ImageCrc(&session->userImage, address, length, &imageCrc)) {
        LogLine(session, "VerifyData: no image data for 0x%08lx - 0x%08lx", Ul(address), Ul(last));
        return ERR_RANGE_OUTSIDE_FLASH;
    }
    uint8_t payload[8];
    PutLe32(payload, address);
    PutLe32(payload + 4, length);
    uint8_t reply[kErrorRecordSize];
    const uint32_t code = FLSendCmd(session, kVrfy, sizeof payload, payload, kFlWordBytes,
                                    reply, kVerifyTimeoutMs);
    if (code != SUCCESS) return code;
    const uint32_t flashCrc = GetLe32(reply);
    if (flashCrc == imageCrc) return SUCCESS;
    if (loud) {
        PostHostMessage(session, FLASH_LEVEL_WARNING, "VerifyData: Difference found ! (0x%08lx != 0x%08lx)",
                        Ul(flashCrc), Ul(imageCrc));
    } else {
        PostHostMessage(session, FLASH_LEVEL_INFO, "VerifyData: Detected difference (0x%08lx != 0x%08lx)",
                        Ul(flashCrc), Ul(imageCrc));
    }
    return ERR_VERIFY_DIFFERENCE;
}

// The head is checked on its own first: a difference near the start of a
// piece is found without the flash loader summing the whole piece.
uint32_t CompareRange(Session* session, uint32_t address, uint32_t length) {
    const uint32_t limit = AttemptLimit(session);
    if (length <= kCompareHeadBytes) {
        return VerifyWithRetries(session, address, length, false, limit);
    }
    const uint32_t code = VerifyWithRetries(session, address, kCompareHeadBytes, false, limit);
    if (code != SUCCESS) return code;
    return VerifyWithRetries(session, address + kCompareHeadBytes, length - kCompareHeadBytes,
                             false, limit);
}

uint32_t OpenSector(Session* session, const SectorSpan& sector, uint32_t flags) {
    LogLine(session, "OpenSector: %u/%u, 0x%08lx, %lu, 0x%02x", sector.position.chip,
            sector.position.sector, Ul(sector.address), Ul(sector.size), flags);
    uint8_t payload[20];
    PutLe32(payload, SectorWord(sector.position));
    PutLe32(payload + 4, sector.address);
    PutLe32(payload + 8, sector.size);
    PutLe32(payload + 12, flags);
    PutLe32(payload + 16, kOpenTrailerWord);
    return SendWithoutReply(session, kOpen, payload, sizeof payload, kOpenTimeoutMs);
}

uint32_t SendData(Session* session, uint32_t address, uint32_t length) {
    const uint32_t last = address + length - 1;
    LogLine(session, "SendData: 0x%08lx - 0x%08lx", Ul(address), Ul(last));
    const uint32_t area = AreaHoldingRange(&session->userImage, address, last);
    if (length == 0 || area == kNoArea || session->userImage.areas[area].data == nullptr) {
        // The data of a transfer comes from one area; never describe bytes
        // that the image does not hold.
        LogLine(session, "SendData: no image data for 0x%08lx - 0x%08lx", Ul(address), Ul(last));
        return ERR_RANGE_OUTSIDE_FLASH;
    }
    uint8_t payload[kTxdtPayloadBytes];
    BuildTxdtPayload(session, address, length, area, payload);
    return SendWithoutReply(session, kFlSendData, payload, sizeof payload, kSendTimeoutMs);
}

uint32_t CloseSector(Session* session, const SectorSpan& sector) {
    LogLine(session, "CloseSector: %u/%u", sector.position.chip, sector.position.sector);
    uint8_t payload[4];
    PutLe32(payload, sector.position.sector);  // the flash loader knows the open chip
    return SendWithoutReply(session, kClos, payload, sizeof payload, kCloseTimeoutMs);
}

uint32_t EraseSector(Session* session, const SectorSpan& sector) {
    LogLine(session, "EraseSector: %u/%u, 0x%08lx, %lu", sector.position.chip,
            sector.position.sector, Ul(sector.address), Ul(sector.size));
    uint8_t payload[12];
    PutLe32(payload, SectorWord(sector.position));
    PutLe32(payload + 4, sector.address);
    PutLe32(payload + 8, sector.size);
    return SendWithoutReply(session, kEras, payload, sizeof payload, kEraseTimeoutMs);
}

uint32_t OpenSectorWithRetries(Session* session, const SectorSpan& sector, uint32_t flags,
                               uint32_t limit) {
    OpenRequest request{&sector, flags};
    return RetryWithResync(session, "OpenSector", limit, OpenOperation, &request);
}

// A failed transfer is repeated even when an abort is pending: the abort
// shows in the next exchange's wait.
uint32_t SendDataWithRetries(Session* session, uint32_t address, uint32_t length, uint32_t limit) {
    SendRequest request{address, length};
    return RetryWithResync(session, "SendData", limit, SendOperation, &request, false);
}

uint32_t SendPieceWithRetries(Session* session, uint32_t address, uint32_t* length,
                              uint32_t limit, TransferSize* size) {
    uint32_t code = SendData(session, address, *length);
    uint32_t counted = 1;  // attempts counted against the limit
    for (uint32_t retry = 1; !SendSettled(code) && counted < limit; ++retry) {
        TransferFailed(size, *length);
        LogLine(session, "Retry %u: SendData", retry);
        const uint32_t sync = ResyncBeforeRetry(session);
        if (sync != SUCCESS) return sync;
        if (size->current < *length) {
            *length = size->current;
        } else {
            ++counted;
        }
        code = SendData(session, address, *length);
    }
    if (code == SUCCESS) TransferSucceeded(size);
    if (SendSettled(code)) return code;
    TransferFailed(size, *length);
    LogLine(session, "Giving up on SendData");
    return ERR_TOO_MANY_RETRIES;
}

uint32_t CloseSectorWithRetries(Session* session, const SectorSpan& sector, uint32_t limit) {
    SectorSpan copy = sector;
    return RetryWithResync(session, "CloseSector", limit, CloseOperation, &copy);
}

uint32_t EraseSectorWithRetries(Session* session, const SectorSpan& sector, uint32_t limit) {
    SectorSpan copy = sector;
    return RetryWithResync(session, "EraseSector", limit, EraseOperation, &copy);
}

uint32_t SetupWithRetries(Session* session, SetupRecovery recovery) {
    const uint32_t limit = AttemptLimit(session);
    uint32_t code = Setup(session);
    for (uint32_t retry = 1; !SetupSettled(code) && retry < limit; ++retry) {
        LogLine(session, "Retry %u: Setup", retry);
        if (recovery == SetupRecovery::Flush) {
            ComFlush(session, session->currentPort);
        } else {
            const uint32_t sync = ResyncBeforeRetry(session);
            if (sync != SUCCESS) return sync;
        }
        code = Setup(session);
    }
    if (SetupSettled(code)) return code;
    LogLine(session, "Giving up on Setup");
    return ERR_TOO_MANY_RETRIES;
}

uint32_t VerifyWithRetries(Session* session, uint32_t address, uint32_t length, bool loud,
                           uint32_t limit) {
    const uint32_t attempts = limit > 0 ? limit : 1;
    for (uint32_t attempt = 1;; ++attempt) {
        const uint32_t code = VerifyData(session, address, length, loud);
        if (VerifySettled(code)) return code;
        if (attempt >= attempts) return ERR_TOO_MANY_RETRIES;
        LogLine(session, "Retry %u: VerifyData", attempt);
        const uint32_t sync = ResyncBeforeRetry(session);
        if (sync != SUCCESS) return sync;
    }
}
