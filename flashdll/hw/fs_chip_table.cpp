#include "flashdll/hw/fs_chip_table.h"

#include <cstring>

#include "flashdll/hw/flash_type.h"
#include "flashdll/link/le.h"

namespace {

// Byte offsets inside the table.
constexpr uint32_t kCountOffset = 0;
constexpr uint32_t kChipSelectOffset = 2;      // 4 x u32
constexpr uint32_t kLayoutOffset = 18;         // 4 x 8 groups x (u16 count, u32 size)
constexpr uint32_t kLayoutGroupBytes = 6;
constexpr uint32_t kChipRecordOffset = 210;    // 4 x 20-byte chip records
constexpr uint32_t kChipRecordBytes = 20;

constexpr uint32_t kFirstWindowBase = 0x20000000u;
constexpr uint32_t kWindowCount = 8;            // 64 MiB windows from 0x20000000
constexpr uint32_t kKindAmd = 1;
constexpr uint32_t kKindIntel = 2;

uint16_t RegisteredCount(const FsChipTable& table) { return GetLe16(table.bytes + kCountOffset); }

// Chip-select code of a chip base address: 2 for 0x20000000 ... 9 for
// 0x3C000000; 0 for any other base.
uint32_t ChipSelectCode(uint32_t base) {
    if (base < kFirstWindowBase || (base & 0x03FFFFFFu) != 0) return 0;
    const uint32_t window = (base >> 26) - (kFirstWindowBase >> 26);
    return window < kWindowCount ? (base >> 26) - 6 : 0;
}

uint32_t ChipMode(const FlashType& chip) {
    const bool standard = chip.Method() == kMethodStandard;
    if (chip.Family() == kFamilyAmd) return standard ? 1 : 2;
    return standard ? 3 : 4;
}

void WriteChipRecord(uint8_t* record, const FlashType& chip) {
    PutLe16(record + 0, chip.ManufacturerId());
    PutLe32(record + 2, chip.DeviceId());
    PutLe32(record + 6, chip.Family() == kFamilyAmd ? kKindAmd : kKindIntel);
    PutLe32(record + 10, ChipMode(chip));
    PutLe32(record + 14, 0);
    PutLe16(record + 18, chip.WriteBufferSize());
}

void WriteLayout(uint8_t* layout, const FlashType& chip) {
    const LayoutGroup* groups = chip.LayoutGroups();
    for (uint32_t g = 0; g < kMaxLayoutGroups; ++g) {
        PutLe16(layout + g * kLayoutGroupBytes, groups[g].count);
        PutLe32(layout + g * kLayoutGroupBytes + 2, groups[g].sectorSize);
    }
}

}  // namespace

void FsChipTableClear(FsChipTable* table) { std::memset(table->bytes, 0, sizeof table->bytes); }

void RegisterChipForFileSystem(FsChipTable* table, const FlashType& chip, uint32_t baseAddress) {
    if (chip.Family() != kFamilyAmd && chip.Family() != kFamilyIntel) return;
    const uint16_t slot = RegisteredCount(*table);
    if (slot >= kFsChipTableMaxChips) return;  // the table holds four chips
    uint8_t* bytes = table->bytes;
    PutLe16(bytes + kCountOffset, static_cast<uint16_t>(slot + 1));
    PutLe32(bytes + kChipSelectOffset + 4 * slot, ChipSelectCode(baseAddress));
    WriteLayout(bytes + kLayoutOffset + kMaxLayoutGroups * kLayoutGroupBytes * slot, chip);
    WriteChipRecord(bytes + kChipRecordOffset + kChipRecordBytes * slot, chip);
}
