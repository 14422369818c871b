// The file download: writes every file of the contents table into the
// handset. For each section it mounts the file system, then opens, writes in
// chunks, closes and checks every file, and unmounts. A failure ends the
// download at once; the handset is left as it is (the load ends anyway).
#include "flashdll/contents/download.h"

#include "flashdll/contents/contents.h"
#include "flashdll/contents/fs_commands.h"
#include "flashdll/report/errors.h"
#include "flashdll/flashdll.h"
#include "flashdll/loader/fl_command.h"
#include "flashdll/loader/flash_commands.h"
#include "flashdll/loader/flash_layout.h"
#include "flashdll/loader/flash_ops.h"
#include "flashdll/report/notify.h"
#include "flashdll/session/session.h"

namespace {

// The contents mode of a load that writes files only: it sets the flash
// loader up itself and may format the file systems.
constexpr uint32_t kContentsOnly = 5;
// File data goes out in the chunks of a flash transfer.
static_assert(kFastChunkBytes <= kMaxFileWriteBytes && kSlowChunkBytes <= kMaxFileWriteBytes,
              "a chunk must fit one FileWrite");

const char kProgressTitle[] = "Loading Files ...";
const char kCorruptedMessage[] = "The contents file was corrupted.";

struct Download {
    uint32_t attempts;     // attempt limit of every wrapped command
    uint32_t chunkBytes;   // file data per FileWrite
    uint32_t formatFlag;   // sent with every FSMount
    const uint8_t* contents;
    uint32_t contentsSize;
    uint32_t sent;         // file bytes of the whole download written so far
};

// True when the slot's type is one the handset knows and every file's data
// lies inside the held contents file; adds the data sizes to `*total`.
bool CheckSlot(const Session* session, const Download& download, uint32_t slot, uint64_t* total) {
    ContentsSlotView view = {};
    if (!GetContentsSlot(session, slot, &view)) return false;
    if (view.fileCount == 0) return true;
    if (view.type != kFsTypeFfs && view.type != kFsTypeCfs && view.type != kFsTypeFdi) return false;
    for (uint32_t index = 0; index < view.fileCount; ++index) {
        ContentsEntry entry;
        if (!GetContentsEntry(session, slot, index, &entry)) return false;
        if (static_cast<uint64_t>(entry.dataOffset) + entry.size > download.contentsSize) return false;
        *total += entry.size;
    }
    return true;
}

// The file bytes of all sections, after checking the table against the
// held contents file so that nothing is read from outside it.
bool TotalBytes(Session* session, const Download& download, uint32_t* total) {
    uint64_t sum = 0;
    const uint32_t sections = ContentsSectionCount(session);
    for (uint32_t slot = 0; slot < sections; ++slot) {
        if (!CheckSlot(session, download, slot, &sum)) {
            PostHostMessage(session, FLASH_LEVEL_ERROR, "%s", kCorruptedMessage);
            return false;
        }
    }
    *total = static_cast<uint32_t>(sum);  // below the contents file's own size
    return true;
}

uint32_t WriteData(Session* session, Download* download, uint32_t handle, const ContentsEntry& entry) {
    const uint8_t* data = download->contents + entry.dataOffset;
    uint32_t done = 0;
    while (done < entry.size) {
        const uint32_t left = entry.size - done;
        const uint32_t count = left < download->chunkBytes ? left : download->chunkBytes;
        const uint32_t code = FileWrite(session, handle, data + done, count, download->attempts);
        if (code != SUCCESS) return code;
        done += count;
        download->sent += count;
        LogLine(session, "FileWrite : written size = %u/%u", done, entry.size);
        ProgressUpdate(session, download->sent);
    }
    return SUCCESS;
}

// Open, write, close and check one file. A file of 0 bytes gets no FileWrite.
uint32_t DownloadFile(Session* session, Download* download, uint32_t slot, uint32_t type, uint32_t index) {
    ContentsEntry entry;
    if (!GetContentsEntry(session, slot, index, &entry)) return ERR_BAD_CONTENTS;
    uint32_t handle = kInvalidFileHandle;
    uint32_t code = FileOpen(session, type, entry, download->attempts, &handle);
    if (code != SUCCESS) return code;
    code = WriteData(session, download, handle, entry);
    if (code != SUCCESS) return code;
    code = FileClose(session, handle, download->attempts);
    if (code != SUCCESS) return code;
    return CheckFileSize(session, slot, index);  // never repeated
}

uint32_t DownloadSection(Session* session, Download* download, uint32_t slot, const ContentsSlotView& view) {
    uint32_t code = FsMount(session, view, download->formatFlag, download->attempts);
    if (code != SUCCESS) return code;
    for (uint32_t index = 0; index < view.fileCount; ++index) {
        code = DownloadFile(session, download, slot, view.type, index);
        if (code != SUCCESS) return code;
    }
    return FsUnMount(session, view.type, download->attempts);
}

// Every section in order. A section without files has nothing to mount or
// write; the sections after it are still written.
uint32_t DownloadSections(Session* session, Download* download) {
    const uint32_t sections = ContentsSectionCount(session);
    for (uint32_t slot = 0; slot < sections; ++slot) {
        ContentsSlotView view = {};
        GetContentsSlot(session, slot, &view);
        if (view.fileCount == 0) {
            LogLine(session, "Section %u (%s) holds no files: skipped", slot, FsTypeName(view.type));
            continue;
        }
        const uint32_t code = DownloadSection(session, download, slot, view);
        if (code != SUCCESS) return code;
    }
    return SUCCESS;
}

}  // namespace

uint32_t DownloadFiles(Session* session) {
    Download download = {};
    download.contents = ContentsBuffer(session, &download.contentsSize);
    if (download.contents == nullptr) {
        PostHostMessage(session, FLASH_LEVEL_ERROR, "The Image buffer is NULL");
        return ERR_BAD_CONTENTS;
    }
    download.attempts = AttemptLimit(session);
    const bool contentsOnly = session->options.contentsmode == kContentsOnly;
    download.formatFlag = contentsOnly && session->options.fsformat != 0 ? 1 : 0;
    uint32_t total = 0;
    if (!TotalBytes(session, download, &total)) return ERR_BAD_CONTENTS;

    if (contentsOnly) {
        // A failed SETP leaves the line in an unknown state, so the port's
        // input is thrown away before the next attempt.
        const uint32_t code = SetupWithRetries(session, SetupRecovery::Flush);
        if (code != SUCCESS) return code;
    }
    download.chunkBytes = ChunkSize(session);
    ProgressBegin(session, kProgressTitle, total);
    const uint32_t code = DownloadSections(session, &download);
    if (code != SUCCESS) return code;

    // In mode flash_contents the phase driver closes with Done itself.
    if (session->options.mode == FLASH_MODE_CONTENTS) Done(session);
    ProgressEnd(session);
    return SUCCESS;
}
