// Pieces of the boot loader dialogues shared between their files, and the
// pure helpers that tests reach directly.
#pragma once

#include <cstdint>

struct Session;
struct ImageBuffer;

// Number of 4096-byte RAM blocks that cover the flash loader image from the
// first byte of its memory area to the highest region end. Measured from the
// area's first address and never more than the area holds, so a loader based
// anywhere is sent from its own first byte and no block reaches past the area.
uint32_t RamBlockCount(const ImageBuffer* image);

// The reply of "info", taken apart.
constexpr uint32_t kInfoReplyMin = 16;
constexpr uint32_t kInfoReplyMax = 24;

struct LoaderInfo {
    uint32_t major;
    uint32_t minor;
    uint32_t bootLoaderType;   // bits 16..23 of word 0
    uint32_t flag;             // bit 31 of word 0, only logged
    uint32_t setupLoaderType;  // bits 16..31 of word 0 (setup loader)
    uint32_t romMaskId;
    uint32_t uart;
    uint32_t maxTransfer;      // as reported
    bool hasIdRegister;
    uint32_t idRegister;
};

// `reply` holds kInfoReplyMax bytes, zero beyond what the loader sent.
LoaderInfo DecodeInfoRecord(const uint8_t* reply);
// The ROM mask ID as four characters, most significant byte first; bytes
// below 0x20 or above 0x80 shown as blanks. `text` holds 5 bytes.
const char* RomMaskText(uint32_t romMaskId, char* text);
// Revision label of a memory-interface-type-1 ID register (bits 16..17).
const char* RevisionLabel(uint32_t idRegister);

// Data bytes per chunk the loader accepts: its reported maximum less 256.
uint32_t AdjustedTransferSize(uint32_t reported);
// True when chunks of the adjusted size hold at least one byte and no more
// than `limit` bytes (reported sizes of 256 or less wrap or give 0).
bool TransferSizeUsable(uint32_t reported, uint32_t limit);

// The boot loader's identity check. True when the boot loader may be used;
// then `*setupLoaderUsed` tells whether it wants the setup loader.
bool CheckBootLoaderIdentity(uint32_t memoryInterfaceType, const LoaderInfo& info,
                             uint32_t* setupLoaderUsed);

// One loader program downloaded region by region with "data" commands.
struct LoaderDownload {
    const ImageBuffer* image;
    const char* label;      // "setup loader", "flash loader"; nullptr: "Loading RAM" captions
    uint32_t chunkLimit;    // data bytes per "data" command
    bool shrinkOnFailure;   // the passive boot loader dialogue only
};
uint32_t LoadLoaderImage(Session* session, LoaderDownload* download);
