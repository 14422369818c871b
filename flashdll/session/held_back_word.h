// The record of the held-back word of programming (loader/held_back.h
// describes the rule): the last word of an image region that starts at
// kHeldBackRegionStart, kept aside until every other sector is closed.
#pragma once

#include <cstdint>

#include "flashdll/hw/flash_chip.h"

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
