// "CHKS": asks the flash loader whether a file of the contents table arrived
// whole in its file system.
#include <cstring>

#include "flashdll/contents/contents.h"
#include "flashdll/contents/fs_commands.h"
#include "flashdll/report/errors.h"
#include "flashdll/loader/fl_command.h"
#include "flashdll/link/fourcc.h"
#include "flashdll/link/le.h"
#include "flashdll/report/notify.h"
#include "flashdll/session/session.h"

namespace {

constexpr uint32_t kCheckFileSize = FourCC("CHKS");
constexpr uint32_t kCheckFileSizeTimeoutMs = 15000;
constexpr uint32_t kCheckFailed = 0xFFFFFFFFu;  // reply word of a failed check
// Kind, size and name length, then the name with its terminating zero.
constexpr uint32_t kMaxPayload = 3 * kFlWordBytes + kContentsNameSize;

struct Payload {
    uint8_t bytes[kMaxPayload];
    uint32_t length;
};

void PutWord(Payload* payload, uint32_t value) {
    PutLe32(payload->bytes + payload->length, value);
    payload->length += kFlWordBytes;
}

void BuildFfs(Session* session, const ContentsEntry& entry, Payload* payload) {
    LogLine(session, "Check FileSize : Owner 0x%08x, FileId 0x%08x \n",
            static_cast<unsigned>(entry.ownerId), static_cast<unsigned>(entry.fileId));
    PutWord(payload, entry.size);
    PutWord(payload, entry.ownerId);
    PutWord(payload, entry.fileId);
}

// The name goes out with its terminating zero and unaligned; a name that
// fills its whole field is ended at the field's last byte.
void BuildNamed(Session* session, const ContentsEntry& entry, Payload* payload) {
    char name[kContentsNameSize];
    const size_t length = strnlen(entry.name, kContentsNameSize - 1);
    std::memcpy(name, entry.name, length);
    name[length] = '\0';
    LogLine(session, "Check FileSize : filename=%s", name);
    PutWord(payload, entry.size);
    PutWord(payload, static_cast<uint32_t>(length + 1));
    std::memcpy(payload->bytes + payload->length, name, length + 1);
    payload->length += static_cast<uint32_t>(length + 1);
}

uint32_t BuildPayload(Session* session, uint32_t slot, uint32_t entryIndex, Payload* payload) {
    ContentsSlotView view = {};
    if (!GetContentsSlot(session, slot, &view)) return ERR_BAD_PARAMS;
    payload->length = 0;
    PutWord(payload, view.type);
    if (view.type != kFsTypeFfs && view.type != kFsTypeCfs && view.type != kFsTypeFdi) {
        return SUCCESS;  // an unknown kind sends its kind word alone
    }
    ContentsEntry entry = {};
    if (!GetContentsEntry(session, slot, entryIndex, &entry)) return ERR_BAD_PARAMS;
    if (view.type == kFsTypeFfs) {
        BuildFfs(session, entry, payload);
    } else {
        BuildNamed(session, entry, payload);
    }
    return SUCCESS;
}

}  // namespace

uint32_t CheckFileSize(Session* session, uint32_t slot, uint32_t entry) {
    Payload payload = {};
    uint32_t code = BuildPayload(session, slot, entry, &payload);
    if (code != SUCCESS) {
        LogLine(session, "Check FileSize : no file %u in section %u", entry, slot);
        return code;
    }
    uint8_t reply[kErrorRecordSize] = {};
    code = FLSendCmd(session, kCheckFileSize, payload.length, payload.bytes, kFlWordBytes, reply,
                     kCheckFileSizeTimeoutMs);
    if (code != SUCCESS) return code;
    return GetLe32(reply) == kCheckFailed ? ERR_CHECKFILESIZE_FAIL : SUCCESS;
}
