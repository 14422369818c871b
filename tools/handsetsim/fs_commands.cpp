// The flash loader's file-system commands: FSMT mounts one file system (and
// formats it on request), FIOP opens a file for writing and hands out a
// handle, FIWR appends to it, FICL closes it, CHKS compares a stored file's
// size, FSUM unmounts. Handlers run with the shared state locked.
#include "flashdll/link/le.h"
#include "tools/handsetsim/commands.h"
#include "tools/handsetsim/frames.h"

namespace handsetsim {

namespace {

constexpr uint32_t kMountHeadBytes = 12;       // type, format flag, file count
constexpr uint32_t kChipTableBytes = 290;
constexpr uint32_t kFfsMountBytes = kMountHeadBytes + 12 + kChipTableBytes;
constexpr uint32_t kFdiMountBytes = kMountHeadBytes + 16;
constexpr uint32_t kFfsKeyBytes = 12;          // type, owner id, file id
constexpr uint32_t kNamedHeadBytes = 8;        // type (or kind), name length
constexpr uint32_t kMaxOwnerId = 0xFF, kMaxFileId = 0xFFFF;
constexpr uint32_t kInvalidHandle = 0xFFFFFFFF;
constexpr uint32_t kSizeMatches = 0, kSizeDiffers = 0xFFFFFFFF;

uint32_t Word(const Request& request, size_t index) {
    return PayloadWord(request.payload, index);
}

std::vector<uint8_t> WordBytes(uint32_t value) {
    std::vector<uint8_t> bytes;
    AppendWord(&bytes, value);
    return bytes;
}

bool ValidFs(uint32_t type) {
    return type == kFsFfs || type == kFsCfs || type == kFsFdi;
}

// The FDI area must lie inside the flash the mount names.
bool FdiAreaFits(const Request& request) {
    uint64_t base = Word(request, 3), size = Word(request, 4);
    uint64_t first = Word(request, 5), last = Word(request, 6);
    return size > 0 && base <= first && first <= last && last < base + size;
}

bool MountPayloadFits(const Request& request, uint32_t type) {
    switch (type) {
        case kFsFfs:
            return request.payload.size() == kFfsMountBytes && Word(request, 5) == kChipTableBytes;
        case kFsCfs:
            return request.payload.size() == kMountHeadBytes;
        default:
            return request.payload.size() == kFdiMountBytes && FdiAreaFits(request);
    }
}

// A name given as its length (with the terminating zero) at byte `at`,
// followed by its bytes and the zero, ending the payload.
bool ReadName(const std::vector<uint8_t>& payload, size_t at, std::string* name) {
    if (payload.size() < at + 4) {
        return false;
    }
    uint32_t length = GetLe32(payload.data() + at);
    size_t first = at + 4;
    if (length < 2 || payload.size() != first + length || payload.back() != 0) {
        return false;
    }
    name->assign(payload.begin() + first, payload.end() - 1);
    return name->find('\0') == std::string::npos;
}

// The file a FIOP or CHKS payload names; the file-system type (or kind) is
// word 0, the key starts at word `keyWord`.
bool ReadKey(const Request& request, size_t keyWord, FileKey* key) {
    key->fsType = Word(request, 0);
    if (key->fsType == kFsFfs) {
        key->ownerId = Word(request, keyWord);
        key->fileId = Word(request, keyWord + 1);
        return request.payload.size() == 4 * (keyWord + 2) && key->ownerId <= kMaxOwnerId &&
               key->fileId <= kMaxFileId;
    }
    return ValidFs(key->fsType) && ReadName(request.payload, 4 * keyWord, &key->name);
}

}  // namespace

Reply MountFs(Context& ctx, LoaderState& state, const Request& request) {
    uint32_t type = Word(request, 0);
    if (!ValidFs(type) || Word(request, 1) > 1 || !MountPayloadFits(request, type)) {
        return Fail(kErrPayload, request.code, type, static_cast<uint32_t>(request.payload.size()));
    }
    if (Word(request, 1) == 1) {
        ctx.shared.files.Format(type);
    }
    state.mountedType = type;
    state.handles.clear();
    return Ok();
}

Reply OpenFile(Context& ctx, LoaderState& state, const Request& request) {
    FileKey key;
    if (!ReadKey(request, 1, &key)) {
        return Fail(kErrPayload, request.code, key.fsType);
    }
    if (key.fsType != state.mountedType) {
        return Fail(kErrState, request.code, key.fsType, state.mountedType);
    }
    if (ctx.scenario.faults.fileOpenFails) {
        return Ok(WordBytes(kInvalidHandle));
    }
    uint32_t handle = state.nextHandle++;
    state.handles[handle] = ctx.shared.files.Open(key);
    return Ok(WordBytes(handle));
}

Reply WriteFile(Context& ctx, LoaderState& state, const Request& request) {
    uint32_t handle = Word(request, 0), count = Word(request, 1);
    if (request.payload.size() < 8 || count != request.payload.size() - 8) {
        return Fail(kErrPayload, request.code, handle, count);
    }
    if (count > ctx.scenario.maxTx) {
        return Fail(kErrLimit, request.code, handle, count, ctx.scenario.maxTx);
    }
    auto found = state.handles.find(handle);
    if (found == state.handles.end()) {
        return Fail(kErrHandle, request.code, handle);
    }
    uint32_t written = count;
    if (ctx.scenario.faults.fileWriteShort && written > 0) {
        --written;  // the loader claims, and keeps, one byte less
    }
    std::vector<uint8_t>& data = ctx.shared.files.At(found->second).data;
    data.insert(data.end(), request.payload.begin() + 8, request.payload.begin() + 8 + written);
    return Ok(WordBytes(written));
}

Reply CloseFile(Context& ctx, LoaderState& state, const Request& request) {
    uint32_t handle = Word(request, 0);
    auto found = state.handles.find(handle);
    if (request.payload.size() != 4 || found == state.handles.end()) {
        return Fail(kErrHandle, request.code, handle);
    }
    StoredFile& file = ctx.shared.files.At(found->second);
    file.closed = true;
    state.handles.erase(found);
    std::string error;
    if (!ctx.shared.files.Save(file, &error)) {
        ctx.shared.notes.push_back("file not saved: " + error);  // the handset itself kept it
    }
    return Ok();
}

Reply CheckFileSize(Context& ctx, LoaderState&, const Request& request) {
    FileKey key;
    uint32_t size = Word(request, 1);
    if (!ReadKey(request, 2, &key)) {
        return Fail(kErrPayload, request.code, key.fsType);
    }
    const StoredFile* file = ctx.shared.files.Find(key);
    bool matches = file != nullptr && file->data.size() == size && !ctx.scenario.faults.checkFileSizeFails;
    return Ok(WordBytes(matches ? kSizeMatches : kSizeDiffers));
}

Reply UnmountFs(Context&, LoaderState& state, const Request& request) {
    uint32_t type = Word(request, 0);
    if (request.payload.size() != 4 || !ValidFs(type)) {
        return Fail(kErrPayload, request.code, type);
    }
    if (state.mountedType != 0 && state.mountedType != type) {
        return Fail(kErrState, request.code, type, state.mountedType);
    }
    state.mountedType = 0;  // unmounting twice is harmless: a lost reply gets repeated
    state.handles.clear();
    return Ok();
}

}  // namespace handsetsim
