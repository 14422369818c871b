// The held-back word of programming: the last word of an image region that
// starts at kHeldBackRegionStart is programmed as erased at first and
// written only after every other sector is closed, so that an interrupted
// job never leaves it in place over incomplete data.
#pragma once

#include <cstdint>

#include "flashdll/loader/flash_layout.h"

constexpr uint32_t kHeldBackRegionStart = 0x20040000;
constexpr uint32_t kHeldBackWordBytes = 4;

// Lives in the session from the programming checks to the rewrite of its
// sector, within one job.
struct HeldBackWord {
    bool kept;
    uint32_t address;
    uint8_t bytes[kHeldBackWordBytes];
    SectorSpan sector;
};
