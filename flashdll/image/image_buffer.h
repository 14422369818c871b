// Image buffers: in-memory copies of stretches of the handset's address
// space (memory areas) with the list of regions that hold data.
#pragma once

#include <cstdint>

#include "flashdll/flashdll.h"

constexpr uint32_t kMaxAreas = 4;
constexpr uint32_t kMaxRegions = 1024;
constexpr uint32_t kNoArea = 65535;
constexpr uint32_t kSetupLoaderAreaSize = 0x20000;   // 128 KiB
constexpr uint32_t kFlashLoaderAreaSize = 0x100000;  // 1 MiB

struct MemoryArea {
    uint32_t first;  // inclusive
    uint32_t last;   // inclusive
    uint8_t* data;   // last - first + 1 bytes; byte k mirrors address first + k
};

struct ImageBuffer {
    uint32_t areaCount;
    MemoryArea areas[kMaxAreas];
    uint32_t regionCount;
    FlashRange regions[kMaxRegions];  // sorted, disjoint, touching regions merged
};

// Sets a buffer to the single area base ... base + size - 1; false when that
// would run past the top of the 32-bit address space.
bool SetSingleArea(ImageBuffer* buffer, uint32_t base, uint32_t size);
// Allocates every area's block of one buffer. An area with last < first or
// a size that does not fit 32 bits is refused rather than allocated with a
// wrapped size.
bool AllocateAreas(ImageBuffer* buffer);
// Frees every area's block (safe to call twice).
void FreeAreas(ImageBuffer* buffer);
// Clears the area and region counts and the data pointers (frees nothing).
void ResetBuffer(ImageBuffer* buffer);
// Index of the first area holding `address`, or kNoArea.
uint32_t FindArea(const ImageBuffer* buffer, uint32_t address);
