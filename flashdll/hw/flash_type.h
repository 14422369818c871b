// One flash chip's entry of the catalogue flash.types.
#pragma once

#include <cstdint>

constexpr uint32_t kMaxBoundaries = 4096;   // 4095 sectors at most
constexpr uint32_t kMaxLayoutGroups = 8;

constexpr uint32_t kFamilyAmd = 0;          // amd or spansion
constexpr uint32_t kFamilyIntel = 1;
constexpr uint32_t kFamilyIntelSibley = 2;
constexpr uint32_t kFamilyNand = 3;

constexpr uint32_t kMethodStandard = 0;
constexpr uint32_t kMethodUnlockBypass = 1;
constexpr uint32_t kMethodPageBuffer = 2;

struct LayoutGroup {
    uint16_t count;
    uint32_t sectorSize;  // bytes
};

// Looks up (manufacturer id, device id) in flash.types beside the host
// executable when constructed; IsKnown() tells whether the entry was found
// and parsed completely.
class FlashType {
public:
    FlashType(uint16_t manufacturerId, uint32_t deviceId);
    ~FlashType() = default;
    FlashType(const FlashType&) = delete;
    FlashType& operator=(const FlashType&) = delete;

    bool IsKnown() const { return known_ != 0; }
    // Null when the catalogue gave no description.
    const char* Description() const { return description_[0] != '\0' ? description_ : nullptr; }
    uint32_t BoundaryCount() const { return boundaryCount_; }  // sectors + 1
    const uint32_t* Boundaries() const { return boundaries_; }
    uint32_t Family() const { return family_; }
    uint32_t Method() const { return method_; }
    uint16_t WriteBufferSize() const { return writeBufferSize_; }
    uint16_t ManufacturerId() const { return manufacturerId_; }
    uint32_t DeviceId() const { return deviceId_; }
    const LayoutGroup* LayoutGroups() const { return layoutGroups_; }  // kMaxLayoutGroups entries

private:
    bool Lookup();

    uint32_t known_ = 0;
    uint16_t manufacturerId_;
    uint32_t deviceId_;
    uint32_t boundaryCount_ = 0;
    uint32_t boundaries_[kMaxBoundaries] = {};
    LayoutGroup layoutGroups_[kMaxLayoutGroups] = {};
    uint32_t family_ = 0;
    uint32_t method_ = 0;
    uint16_t writeBufferSize_ = 0;
    char cataloguePath_[250] = {};
    char description_[252] = {};
};
