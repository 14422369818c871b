// The table of the handset's NOR chips that the file system mount request
// carries: 290 bytes, little-endian, packed. Each session keeps its own, so
// that jobs on several handsets at once never see each other's chips.
#pragma once

#include <cstdint>

class FlashType;

constexpr uint32_t kFsChipTableSize = 290;
constexpr uint32_t kFsChipTableMaxChips = 4;

struct FsChipTable {
    uint8_t bytes[kFsChipTableSize];
};

// Empties the table (its count becomes 0).
void FsChipTableClear(FsChipTable* table);
// Registers an amd/spansion or intel chip at `baseAddress`; other families
// and registrations beyond the fourth are ignored.
void RegisterChipForFileSystem(FsChipTable* table, const FlashType& chip, uint32_t baseAddress);
