// The handset's flash: the chips of the scenario, each a run of sectors
// from its start address, erased to 0xFF. Programming only clears bits, as
// on NOR flash; erasing sets a range back to 0xFF. Contents can be saved to
// a file and loaded again so that jobs in different processes follow each
// other.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/handsetsim/handsetsim.h"

namespace handsetsim {

class FlashModel {
public:
    // Lays out the chips. False (and a reason) for more than 4 chips, a chip
    // without sectors or with more than 4095, chips that overlap or pass the
    // end of the address space, or more flash than the model holds.
    bool Configure(const std::vector<ChipSlot>& chips, std::string* error);

    uint32_t ChipCount() const { return static_cast<uint32_t>(chips_.size()); }
    uint32_t SectorCount(uint32_t chip) const;
    // Address and size of a sector; false when the chip or sector does not exist.
    bool Sector(uint32_t chip, uint32_t sector, uint32_t* address, uint32_t* size) const;
    // True when every byte of the range lies in some chip.
    bool Covers(uint32_t address, uint32_t length) const;

    // Bytes of the range; bytes outside every chip read as 0xFF.
    std::vector<uint8_t> Read(uint32_t address, uint32_t length) const;
    // Sets bytes as given (a test preparing flash); bytes outside the chips are ignored.
    void Write(uint32_t address, const uint8_t* data, size_t length);
    // Programs bytes: every bit that is 0 in the data becomes 0 in flash.
    void Program(uint32_t address, const uint8_t* data, size_t length);
    void Erase(uint32_t address, uint32_t length);

    // A missing file leaves flash erased; a file made for other chips is refused.
    bool Load(const std::string& path, std::string* error);
    bool Save(const std::string& path, std::string* error) const;

private:
    struct Chip {
        uint32_t start = 0;
        std::vector<uint32_t> boundaries;  // sector k spans boundaries[k] .. boundaries[k+1]-1
        std::vector<uint8_t> bytes;
    };
    // Applies `step` to every piece of the range that lies in a chip.
    template <typename Step>
    void ForEachPiece(uint32_t address, uint64_t length, Step step);
    template <typename Step>
    void ForEachPiece(uint32_t address, uint64_t length, Step step) const;

    std::vector<Chip> chips_;
};

}  // namespace handsetsim
