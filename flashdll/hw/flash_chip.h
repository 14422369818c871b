// What the flash loader handshake learns about the handset: its limits,
// speeds and flash chips. The flash operations work from it.
#pragma once

#include <cstdint>

#include "flashdll/hw/flash_type.h"

constexpr uint32_t kMaxChips = 4;
constexpr uint32_t kMobileSpeedCount = 5;

struct FlashChipRecord {
    uint16_t manufacturerId;
    uint16_t family;
    uint16_t method;
    uint16_t writeBufferSize;
    uint32_t deviceId;
    uint32_t sectorCount;
    uint32_t startAddress;
    uint32_t endAddress;                 // inclusive
    uint32_t boundaries[kMaxBoundaries]; // entries 0..sectorCount, offsets from startAddress
};

struct FlashLoaderInfo {
    uint32_t maxTxSize;                        // bytes per TXDT transfer
    uint32_t maxRxSize;                        // bytes per SUCK reply
    uint32_t mobileSpeeds[kMobileSpeedCount];  // 0 = no entry
    uint32_t chipCount;
    uint32_t totalSectors;
    uint32_t totalSize;
    FlashChipRecord chips[kMaxChips];
};

// A sector of the chip records: the chip and its sector index.
struct SectorPosition {
    uint32_t chip;
    uint32_t sector;
};

// One sector of a detected chip, with its address range.
struct SectorSpan {
    SectorPosition position;
    uint32_t address;  // first address
    uint32_t size;     // bytes
    uint32_t last;     // inclusive
};
