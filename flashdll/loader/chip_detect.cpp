// Chip detection: the id pairs the flash loader reports for each chip are
// looked up in the catalogue, one of them is chosen by family, and the
// chip's layout becomes a flash chip record.
#include <cstring>
#include <memory>
#include <new>

#include "flashdll/report/errors.h"
#include "flashdll/hw/flash_type.h"
#include "flashdll/hw/fs_chip_table.h"
#include "flashdll/loader/handshake_steps.h"
#include "flashdll/report/notify.h"
#include "flashdll/session/session.h"
#include "flashdll/report/size_text.h"

namespace {

constexpr uint64_t kAddressSpaceEnd = 0xFFFFFFFFull;

using FlashTypePtr = std::unique_ptr<FlashType>;

FlashTypePtr LookUp(uint32_t idWord, uint32_t device) {
    return FlashTypePtr(new (std::nothrow)
                            FlashType(static_cast<uint16_t>(ManufacturerCode(idWord)), device));
}

struct Candidates {
    FlashTypePtr amd, intel, nand;
};

bool Known(const FlashTypePtr& type) { return type != nullptr && type->IsKnown(); }

// The AMD pair when it names an amd/spansion chip, else the Intel pair when
// it names an intel or intel_sibley chip, else the NAND pair when it names a
// nand chip; null when none fits.
const FlashType* Choose(const Candidates& candidates) {
    if (Known(candidates.amd) && candidates.amd->Family() == kFamilyAmd) {
        return candidates.amd.get();
    }
    if (Known(candidates.intel) && (candidates.intel->Family() == kFamilyIntel ||
                                    candidates.intel->Family() == kFamilyIntelSibley)) {
        return candidates.intel.get();
    }
    if (Known(candidates.nand) && candidates.nand->Family() == kFamilyNand) {
        return candidates.nand.get();
    }
    return nullptr;
}

void PostChipIds(Session* session, const DeviceInfo& info) {
    PostHostMessage(session, FLASH_LEVEL_INFO, "IDs returned by detection: %u", info.chipCount);
    for (uint32_t i = 0; i < info.chipCount; ++i) {
        const ChipIds& ids = info.chips[i];
        PostHostMessage(session, FLASH_LEVEL_INFO,
                        "AMD:0x%02x/0x%08x, Intel:0x%02x/0x%08x, NAND:0x%02x/0x%08x(image size=%u)",
                        ManufacturerCode(ids.amdId), ids.amdDevice, ManufacturerCode(ids.intelId),
                        ids.intelDevice, ManufacturerCode(ids.nandId), ids.nandDevice,
                        session->platform.flashDefinitions[i].cfsStart & kCfsOffsetMask);
    }
    PostHostMessage(session, FLASH_LEVEL_INFO, "Detected flash chips: %u", info.chipCount);
}

uint32_t RefuseUnknown(Session* session, const ChipIds& ids) {
    PostHostMessage(session, FLASH_LEVEL_INFO, "Platform : [%s]", session->options.platform);
    PostHostMessage(session, FLASH_LEVEL_INFO,
                    "@@Unknown Flash Chip: 0x%02x/0x%08lx, 0x%02x/0x%08lx, 0x%02x/0x%08lx",
                    ManufacturerCode(ids.amdId), static_cast<unsigned long>(ids.amdDevice),
                    ManufacturerCode(ids.intelId), static_cast<unsigned long>(ids.intelDevice),
                    ManufacturerCode(ids.nandId), static_cast<unsigned long>(ids.nandDevice));
    return ERR_FLASHTYPE;
}

// A chip must have at least one sector and end inside the 32-bit address
// space; an end address that wraps would make every later range check lie.
bool LayoutFits(const FlashType& type, uint32_t start) {
    const uint32_t count = type.BoundaryCount();
    if (count < 2 || count > kMaxBoundaries) return false;
    const uint32_t size = type.Boundaries()[count - 1];
    return size != 0 && start + static_cast<uint64_t>(size) - 1 <= kAddressSpaceEnd;
}

uint32_t RefuseLayout(Session* session, const FlashType& type, uint32_t start) {
    PostHostMessage(session, FLASH_LEVEL_ERROR,
                    "Flash chip 0x%02x/0x%08lx at 0x%08lx does not fit the address space",
                    static_cast<unsigned>(type.ManufacturerId()),
                    static_cast<unsigned long>(type.DeviceId()), static_cast<unsigned long>(start));
    return ERR_FLASHTYPE;
}

void FillRecord(const FlashType& type, uint32_t start, FlashChipRecord* record) {
    const uint32_t sectors = type.BoundaryCount() - 1;
    record->manufacturerId = type.ManufacturerId();
    record->family = static_cast<uint16_t>(type.Family());
    record->method = static_cast<uint16_t>(type.Method());
    record->writeBufferSize = type.WriteBufferSize();
    record->deviceId = type.DeviceId();
    record->sectorCount = sectors;
    record->startAddress = start;
    record->endAddress = start + type.Boundaries()[sectors] - 1;
    std::memcpy(record->boundaries, type.Boundaries(), (sectors + 1) * sizeof(uint32_t));
}

void PostChipLine(Session* session, const FlashType& type, const FlashChipRecord& record) {
    char size[kSizeTextSize];
    const char* description = type.Description() != nullptr ? type.Description() : "";
    PostHostMessage(session, FLASH_LEVEL_INFO, "0x%02x/0x%08lx: %s (%s in %u sectors)",
                    static_cast<unsigned>(record.manufacturerId),
                    static_cast<unsigned long>(record.deviceId), description,
                    SizeText(record.endAddress - record.startAddress + 1, size, sizeof size),
                    record.sectorCount);
    LogLine(session, "Write buffer size: %u", static_cast<unsigned>(type.WriteBufferSize()));
}

uint32_t TakeChip(Session* session, uint32_t index, const ChipIds& ids) {
    const Candidates candidates{LookUp(ids.amdId, ids.amdDevice),
                                LookUp(ids.intelId, ids.intelDevice),
                                LookUp(ids.nandId, ids.nandDevice)};
    if (!candidates.amd || !candidates.intel || !candidates.nand) return ERR_NOMEM;
    const FlashType* chosen = Choose(candidates);
    if (chosen == nullptr) return RefuseUnknown(session, ids);
    if (!LayoutFits(*chosen, ids.start)) return RefuseLayout(session, *chosen, ids.start);
    RegisterChipForFileSystem(&session->fsChipTable, *chosen, session->platform.flashDefinitions[index].base);
    FlashLoaderInfo& loader = session->flashLoader;
    FlashChipRecord& record = loader.chips[index];
    FillRecord(*chosen, ids.start, &record);
    loader.chipCount = index + 1;
    loader.totalSectors += record.sectorCount;
    loader.totalSize += record.endAddress - record.startAddress + 1;
    PostChipLine(session, *chosen, record);
    return SUCCESS;
}

}  // namespace

uint32_t DetectChips(Session* session, const DeviceInfo& info) {
    PostChipIds(session, info);
    FlashLoaderInfo& loader = session->flashLoader;
    loader.chipCount = 0;
    loader.totalSectors = 0;
    loader.totalSize = 0;
    for (uint32_t i = 0; i < info.chipCount && i < kMaxChips; ++i) {
        const uint32_t code = TakeChip(session, i, info.chips[i]);
        if (code != SUCCESS) return code;
    }
    if (info.chipCount > 1) {
        char size[kSizeTextSize];
        PostHostMessage(session, FLASH_LEVEL_INFO, "Total flash memory: %s in %u sectors on %u chips",
                        SizeText(loader.totalSize, size, sizeof size), loader.totalSectors,
                        info.chipCount);
    }
    return SUCCESS;
}
