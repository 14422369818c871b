// The file-system commands of the flash loader: FSMT mounts (and on request
// formats) one file system, FIOP opens a file and hands out its handle, FIWR
// appends data to it, FICL closes it and FSUM unmounts. Every payload word
// is little-endian. A sender makes one attempt and logs what it does; its
// wrapper repeats it after a resync.
#include "flashdll/contents/fs_commands.h"

#include <cstring>

#include "flashdll/contents/contents.h"
#include "flashdll/report/errors.h"
#include "flashdll/flashdll.h"
#include "flashdll/hw/fs_chip_table.h"
#include "flashdll/loader/fl_command.h"
#include "flashdll/link/fourcc.h"
#include "flashdll/link/le.h"
#include "flashdll/report/notify.h"
#include "flashdll/session/session.h"

namespace {

constexpr uint32_t kFsMount = FourCC("FSMT");
constexpr uint32_t kFileOpen = FourCC("FIOP");
constexpr uint32_t kFileWrite = FourCC("FIWR");
constexpr uint32_t kFileClose = FourCC("FICL");
constexpr uint32_t kFsUnMount = FourCC("FSUM");

constexpr uint32_t kFsMountTimeoutMs = 15000;
constexpr uint32_t kFileOpenTimeoutMs = 5000;
constexpr uint32_t kFileWriteTimeoutMs = 15000;
constexpr uint32_t kFileCloseTimeoutMs = 5000;
constexpr uint32_t kFsUnMountTimeoutMs = 150000;

// FSMT: type, format flag and file count, then for FFS the two volume
// words, the chip table's length and the table itself (the largest case).
constexpr uint32_t kMaxMountPayload = 6 * kFlWordBytes + kFsChipTableSize;
// FIOP: type, then the owner and file ids, or the name's length and the
// name with its terminating zero (the largest case).
constexpr uint32_t kMaxOpenPayload = 2 * kFlWordBytes + kContentsNameSize;

// Two flash addresses lie in the same 64 MiB window when bits 31..26 agree.
constexpr uint32_t kWindowShift = 26;

// A payload under construction in a buffer of fixed capacity.
struct Payload {
    uint8_t* bytes;
    uint32_t capacity;
    uint32_t length;
};

bool PutWord(Payload* payload, uint32_t value) {
    if (payload->capacity - payload->length < kFlWordBytes) return false;
    PutLe32(payload->bytes + payload->length, value);
    payload->length += kFlWordBytes;
    return true;
}

bool PutBytes(Payload* payload, const void* data, uint32_t count) {
    if (payload->capacity - payload->length < count) return false;
    std::memcpy(payload->bytes + payload->length, data, count);
    payload->length += count;
    return true;
}

struct MountRequest {
    const ContentsSlotView* slot;
    uint32_t formatFlag;
};

struct OpenRequest {
    uint32_t type;
    const ContentsEntry* entry;
    uint32_t handle;  // out
};

struct WriteRequest {
    uint32_t count;
};

// The first flash definition in the 64 MiB window of `address`, or nullptr.
const FlashDefinition* DefinitionInWindow(const Session* session, uint32_t address) {
    const PlatformRecord& platform = session->platform;
    const uint32_t count = platform.flashDefinitionCount < kMaxFlashDefinitions
                               ? platform.flashDefinitionCount
                               : kMaxFlashDefinitions;
    for (uint32_t i = 0; i < count; ++i) {
        const FlashDefinition& definition = platform.flashDefinitions[i];
        if (definition.base >> kWindowShift == address >> kWindowShift) return &definition;
    }
    return nullptr;
}

// What follows the head of an FSMT payload. For FDI that is the flash the
// area lies in: no such flash fails the attempt before anything is sent.
uint32_t PutMountBody(Session* session, const ContentsSlotView& slot, Payload* payload) {
    if (slot.type == kFsTypeFfs) {
        const bool fits = PutWord(payload, slot.extra[0]) && PutWord(payload, slot.extra[1]) &&
                          PutWord(payload, kFsChipTableSize) &&
                          PutBytes(payload, session->fsChipTable.bytes, kFsChipTableSize);
        return fits ? SUCCESS : ERR_BAD_PARAMS;
    }
    if (slot.type != kFsTypeFdi) return SUCCESS;
    const FlashDefinition* flash = DefinitionInWindow(session, slot.extra[0]);
    if (flash == nullptr || flash->size == 0) {
        PostHostMessage(session, FLASH_LEVEL_ERROR, "0x%08X-0x%08X : Not found chip",
                        static_cast<unsigned>(slot.extra[0]), static_cast<unsigned>(slot.extra[1]));
        return ERR_BAD_CONTENTS;
    }
    const bool fits = PutWord(payload, flash->base) && PutWord(payload, flash->size) &&
                      PutWord(payload, slot.extra[0]) && PutWord(payload, slot.extra[1]);
    return fits ? SUCCESS : ERR_BAD_PARAMS;
}

uint32_t MountAttempt(Session* session, void* context) {
    const MountRequest& request = *static_cast<const MountRequest*>(context);
    const ContentsSlotView& slot = *request.slot;
    LogLine(session, "FSMount (%s), lists=%u", FsTypeName(slot.type), slot.fileCount);
    uint8_t bytes[kMaxMountPayload];
    Payload payload = {bytes, sizeof bytes, 0};
    PutWord(&payload, slot.type);
    PutWord(&payload, request.formatFlag);
    PutWord(&payload, slot.fileCount);
    uint32_t code = PutMountBody(session, slot, &payload);
    if (code != SUCCESS) return code;
    uint8_t reply[kErrorRecordSize];
    code = FLSendCmd(session, kFsMount, payload.length, bytes, 0, reply, kFsMountTimeoutMs);
    LogLine(session, "FL_CMD_FSMOUNT - MOUNT uRC : %d ", static_cast<int>(code));
    return code;
}

// FFS files are named by owner and file id, the others by their name.
void PutFileKey(Session* session, const OpenRequest& request, Payload* payload) {
    const ContentsEntry& entry = *request.entry;
    if (request.type == kFsTypeFfs) {
        LogLine(session, "FileOpen : OwnerID=%u, FileID=%u", static_cast<unsigned>(entry.ownerId),
                static_cast<unsigned>(entry.fileId));
        PutWord(payload, entry.ownerId);
        PutWord(payload, entry.fileId);
        return;
    }
    // The name field always ends in a zero; a name filling it is cut there.
    const uint32_t length = static_cast<uint32_t>(strnlen(entry.name, kContentsNameSize - 1));
    LogLine(session, "FileOpen : filename=%.*s", static_cast<int>(length), entry.name);
    const char zero = '\0';
    PutWord(payload, length + 1);
    PutBytes(payload, entry.name, length);
    PutBytes(payload, &zero, 1);
}

uint32_t OpenAttempt(Session* session, void* context) {
    OpenRequest& request = *static_cast<OpenRequest*>(context);
    uint8_t bytes[kMaxOpenPayload];
    Payload payload = {bytes, sizeof bytes, 0};
    PutWord(&payload, request.type);
    PutFileKey(session, request, &payload);
    uint8_t reply[kErrorRecordSize];
    const uint32_t code =
        FLSendCmd(session, kFileOpen, payload.length, bytes, kFlWordBytes, reply, kFileOpenTimeoutMs);
    if (code != SUCCESS) return code;
    const uint32_t handle = GetLe32(reply);
    if (handle == kInvalidFileHandle) return ERR_FILEOPEN_FAIL;
    request.handle = handle;
    return SUCCESS;
}

// Sends the chunk already placed in the command data buffer.
uint32_t WriteAttempt(Session* session, void* context) {
    const WriteRequest& request = *static_cast<const WriteRequest*>(context);
    uint8_t reply[kErrorRecordSize];
    const uint32_t code = FLSendCmd(session, kFileWrite, kFileWriteHeadBytes + request.count, session->fileWrite.bytes,
                                    kFlWordBytes, reply, kFileWriteTimeoutMs);
    if (code != SUCCESS) return code;
    return GetLe32(reply) == request.count ? SUCCESS : ERR_FILEWRITE_FAIL;
}

uint32_t CloseAttempt(Session* session, void* context) {
    const uint32_t handle = *static_cast<const uint32_t*>(context);
    LogLine(session, "FileClose : handile=%u", handle);
    uint8_t payload[kFlWordBytes];
    PutLe32(payload, handle);
    uint8_t reply[kErrorRecordSize];
    return FLSendCmd(session, kFileClose, sizeof payload, payload, 0, reply, kFileCloseTimeoutMs);
}

uint32_t UnMountAttempt(Session* session, void* context) {
    const uint32_t type = *static_cast<const uint32_t*>(context);
    LogLine(session, "FSUnMount (%s)", FsTypeName(type));
    uint8_t payload[kFlWordBytes];
    PutLe32(payload, type);
    uint8_t reply[kErrorRecordSize];
    return FLSendCmd(session, kFsUnMount, sizeof payload, payload, 0, reply, kFsUnMountTimeoutMs);
}

}  // namespace

const char* FsTypeName(uint32_t type) {
    switch (type) {
    case kFsTypeFfs:
        return "FFS";
    case kFsTypeCfs:
        return "CFS";
    case kFsTypeFdi:
        return "FDI";
    default:
        return "???";
    }
}

uint32_t FsMount(Session* session, const ContentsSlotView& slot, uint32_t formatFlag, uint32_t limit) {
    MountRequest request = {&slot, formatFlag};
    return RetryWithResync(session, "FSMount", limit, MountAttempt, &request);
}

uint32_t FileOpen(Session* session, uint32_t type, const ContentsEntry& entry, uint32_t limit,
                  uint32_t* handle) {
    OpenRequest request = {type, &entry, kInvalidFileHandle};
    const uint32_t code = RetryWithResync(session, "FileOpen", limit, OpenAttempt, &request);
    *handle = request.handle;
    return code;
}

uint32_t FileWrite(Session* session, uint32_t handle, const uint8_t* data, uint32_t count, uint32_t limit) {
    if (count > kMaxFileWriteBytes) return ERR_BAD_PARAMS;
    // Filled once: every retry sends the same chunk again.
    uint8_t* command = session->fileWrite.bytes;
    PutLe32(command, handle);
    PutLe32(command + kFlWordBytes, count);
    std::memcpy(command + kFileWriteHeadBytes, data, count);
    WriteRequest request = {count};
    return RetryWithResync(session, "FileWrite", limit, WriteAttempt, &request);
}

uint32_t FileClose(Session* session, uint32_t handle, uint32_t limit) {
    return RetryWithResync(session, "FileClose", limit, CloseAttempt, &handle);
}

uint32_t FsUnMount(Session* session, uint32_t type, uint32_t limit) {
    return RetryWithResync(session, "FSUnMount", limit, UnMountAttempt, &type);
}
