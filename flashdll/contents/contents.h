// The contents file: handset files for the file systems, read whole into
// a buffer of the session and entered into the contents table of the load's
// working copy of the options. Table entries refer to file data by a 32-bit
// offset into that buffer, so the record has one layout on every target.
#pragma once

#include <cstdint>

#include "flashdll/session/contents_records.h"

struct Session;

constexpr uint32_t kFsTypeFfs = 1;
constexpr uint32_t kFsTypeCfs = 2;
constexpr uint32_t kFsTypeFdi = 3;
constexpr uint32_t kMaxFilesPerSlot = 64;
constexpr uint32_t kContentsNameSize = 256;

// One file of a slot, decoded from the table.
struct ContentsEntry {
    uint32_t size;            // data bytes
    uint32_t dataOffset;      // into the contents buffer
    uint8_t ownerId;          // FFS only
    uint16_t fileId;          // FFS only
    char name[kContentsNameSize];  // CFS and FDI (NUL-terminated)
};

// One slot of the table, decoded.
struct ContentsSlotView {
    uint32_t type;            // kFsType..., 0 for an unused slot
    uint32_t fileCount;
    uint32_t extra[2];        // FFS volume words, FDI area start and end
};

bool ReadContents(Session* session);
// Frees the session's contents file, if it holds one.
void ReleaseContents(Session* session);
// The held contents file, or nullptr; `size` receives its length.
const uint8_t* ContentsBuffer(const Session* session, uint32_t* size);
// Decoders of the working copy's table.
bool GetContentsSlot(const Session* session, uint32_t slot, ContentsSlotView* view);
bool GetContentsEntry(const Session* session, uint32_t slot, uint32_t entry, ContentsEntry* out);
// The number of sections of the held contents file (0 without one).
uint32_t ContentsSectionCount(const Session* session);
