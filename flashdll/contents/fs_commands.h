// The flash loader's file-system commands as the file download uses them:
// each sender makes one attempt, and its wrapper repeats it under the
// retry-with-resync rule with the attempt limit it is given.
#pragma once

#include <cstdint>

#include "flashdll/session/contents_records.h"

struct Session;
struct ContentsSlotView;
struct ContentsEntry;

constexpr uint32_t kInvalidFileHandle = 0xFFFFFFFFu;

// "FFS", "CFS", "FDI", or "???" for any other type.
const char* FsTypeName(uint32_t type);

// Mounts the file system of `slot`; `formatFlag` 1 asks for it to be formatted.
uint32_t FsMount(Session* session, const ContentsSlotView& slot, uint32_t formatFlag, uint32_t limit);
// Opens `entry` of a file system of `type`; `*handle` receives its handle.
uint32_t FileOpen(Session* session, uint32_t type, const ContentsEntry& entry, uint32_t limit,
                  uint32_t* handle);
// Writes `count` (at most kMaxFileWriteBytes) bytes to the open file `handle`.
uint32_t FileWrite(Session* session, uint32_t handle, const uint8_t* data, uint32_t count, uint32_t limit);
uint32_t FileClose(Session* session, uint32_t handle, uint32_t limit);
uint32_t FsUnMount(Session* session, uint32_t type, uint32_t limit);
// The "CHKS" exchange for file `entry` of contents slot `slot`: whether the
// file arrived whole in its file system.
uint32_t CheckFileSize(Session* session, uint32_t slot, uint32_t entry);
