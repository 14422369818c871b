// flash.types: any bytes as the catalogue, looked up for four chips whose
// keys the seeds use. A chip that is known must come with a description that
// fits its field and a layout within the tables: boundaries from 0, rising,
// one per sector, agreeing with the layout groups. Every known chip is then
// registered twice for the file systems, which must keep to four chips.
#include <cstring>
#include <memory>

#include "flashdll/hw/flash_type.h"
#include "flashdll/hw/fs_chip_table.h"
#include "flashdll/link/le.h"
#include "support/fuzz_host.h"

namespace {

struct ChipId {
    uint16_t manufacturer;
    uint32_t device;
};

constexpr ChipId kChips[] = {{0x0001, 0x227e}, {0x0089, 0x8817}, {0x00ec, 0xdc}, {0xffff, 0xffffffffu}};
constexpr uint32_t kDescriptionField = 252;
constexpr uint32_t kChipBase = 0x20000000;

void CheckKnownChip(const FlashType& chip) {
    FUZZ_CHECK(chip.Description() != nullptr && std::strlen(chip.Description()) < kDescriptionField);
    FUZZ_CHECK(chip.Family() <= kFamilyNand && chip.Method() <= kMethodPageBuffer);
    const uint32_t count = chip.BoundaryCount();
    FUZZ_CHECK(count >= 2 && count <= kMaxBoundaries);
    const uint32_t* boundaries = chip.Boundaries();
    FUZZ_CHECK(boundaries[0] == 0);
    for (uint32_t i = 1; i < count; ++i) FUZZ_CHECK(boundaries[i] > boundaries[i - 1]);
    uint64_t sectors = 0;
    uint64_t bytes = 0;
    for (uint32_t g = 0; g < kMaxLayoutGroups; ++g) {
        sectors += chip.LayoutGroups()[g].count;
        bytes += static_cast<uint64_t>(chip.LayoutGroups()[g].count) * chip.LayoutGroups()[g].sectorSize;
    }
    FUZZ_CHECK(sectors == count - 1 && bytes == boundaries[count - 1]);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz_support::ScratchDir();
    fuzz_support::WriteScratchFile("flash.types", data, size);
    FsChipTable table;
    FsChipTableClear(&table);
    std::unique_ptr<FlashType> known[sizeof kChips / sizeof kChips[0]];
    uint32_t knownCount = 0;
    for (const ChipId& id : kChips) {
        auto chip = std::make_unique<FlashType>(id.manufacturer, id.device);
        FUZZ_CHECK(chip->ManufacturerId() == id.manufacturer && chip->DeviceId() == id.device);
        if (!chip->IsKnown()) continue;
        CheckKnownChip(*chip);
        known[knownCount++] = std::move(chip);
    }
    for (int round = 0; round < 2; ++round) {
        for (uint32_t i = 0; i < knownCount; ++i) RegisterChipForFileSystem(&table, *known[i], kChipBase);
    }
    FUZZ_CHECK(GetLe16(table.bytes) <= kFsChipTableMaxChips);
    return 0;
}
