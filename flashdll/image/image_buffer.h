// Image buffers: in-memory copies of stretches of the handset's address
// space (memory areas) with the list of regions that hold data.
#pragma once

#include <cstdint>

#include "flashdll/flashdll.h"

struct Session;

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

// Sets the loader images' single areas from the platform and allocates every
// area's data block of the three buffers. 1 on success; on failure frees
// everything and returns 0.
int AllocImageBuffers(Session* session);
// Frees every data block of the three buffers (safe to call twice).
void FreeImageBuffers(Session* session);
// Clears area counts and data pointers (start of a load; frees nothing).
void ResetImageBuffers(Session* session);
// Index of the first area holding `address`, or kNoArea.
uint32_t FindArea(const ImageBuffer* buffer, uint32_t address);
