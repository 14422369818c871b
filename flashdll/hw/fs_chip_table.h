// The process-wide table of NOR chips sent to the handset inside the file
// system mount request: 290 bytes, little-endian, packed.
#pragma once

#include <cstdint>

class FlashType;

constexpr uint32_t kFsChipTableSize = 290;
constexpr uint32_t kFsChipTableMaxChips = 4;

// Empties the table (its count becomes 0).
void FsChipTableClear();
// Registers an amd/spansion or intel chip at `baseAddress`; other families
// and registrations beyond the fourth are ignored.
void RegisterChipForFileSystem(const FlashType& chip, uint32_t baseAddress);
// The table's bytes (kFsChipTableSize of them).
const uint8_t* FsChipTableBytes();
