#include "tools/handsetsim/flash_model.h"

#include <algorithm>
#include <cstring>
#include <fstream>

#include "flashdll/link/le.h"

namespace handsetsim {

namespace {

constexpr size_t kMaxChips = 4;
constexpr size_t kMaxSectorsPerChip = 4095;
constexpr uint64_t kMaxFlashBytes = 512ull << 20;  // keeps a mistyped layout from eating memory
constexpr char kFileMagic[8] = {'H', 'S', 'F', 'L', 'A', 'S', 'H', '1'};

uint64_t ChipEnd(uint32_t start, const std::vector<uint8_t>& bytes) {
    return static_cast<uint64_t>(start) + bytes.size();
}

bool CheckLayout(const std::vector<ChipSlot>& chips, std::string* error) {
    if (chips.size() > kMaxChips) {
        *error = "more than 4 chips";
        return false;
    }
    uint64_t total = 0;
    for (size_t i = 0; i < chips.size(); ++i) {
        const ChipSlot& chip = chips[i];
        std::string name = "chip " + std::to_string(i);
        if (chip.sectorSizes.empty() || chip.sectorSizes.size() > kMaxSectorsPerChip) {
            *error = name + ": needs 1 to 4095 sectors";
            return false;
        }
        uint64_t size = 0;
        for (uint32_t sector : chip.sectorSizes) {
            if (sector == 0) {
                *error = name + ": sector of size 0";
                return false;
            }
            size += sector;
        }
        total += size;
        if (chip.start + size > (1ull << 32) || total > kMaxFlashBytes) {
            *error = name + ": flash too large or past the end of the address space";
            return false;
        }
    }
    return true;
}

}  // namespace

bool FlashModel::Configure(const std::vector<ChipSlot>& chips, std::string* error) {
    if (!CheckLayout(chips, error)) {
        return false;
    }
    chips_.clear();
    for (const ChipSlot& slot : chips) {
        Chip chip;
        chip.start = slot.start;
        chip.boundaries.push_back(0);
        for (uint32_t size : slot.sectorSizes) {
            chip.boundaries.push_back(chip.boundaries.back() + size);
        }
        chip.bytes.assign(chip.boundaries.back(), 0xFF);
        for (const Chip& other : chips_) {
            bool apart = ChipEnd(chip.start, chip.bytes) <= other.start ||
                         ChipEnd(other.start, other.bytes) <= chip.start;
            if (!apart) {
                *error = "chips overlap";
                chips_.clear();
                return false;
            }
        }
        chips_.push_back(std::move(chip));
    }
    return true;
}

uint32_t FlashModel::SectorCount(uint32_t chip) const {
    return chip < chips_.size() ? static_cast<uint32_t>(chips_[chip].boundaries.size() - 1) : 0;
}

bool FlashModel::Sector(uint32_t chip, uint32_t sector, uint32_t* address, uint32_t* size) const {
    if (chip >= chips_.size() || sector >= SectorCount(chip)) {
        return false;
    }
    const Chip& c = chips_[chip];
    *address = c.start + c.boundaries[sector];
    *size = c.boundaries[sector + 1] - c.boundaries[sector];
    return true;
}

template <typename Step>
void FlashModel::ForEachPiece(uint32_t address, uint64_t length, Step step) const {
    uint64_t first = address;
    uint64_t end = first + length;
    for (size_t i = 0; i < chips_.size(); ++i) {
        uint64_t from = std::max<uint64_t>(first, chips_[i].start);
        uint64_t to = std::min<uint64_t>(end, ChipEnd(chips_[i].start, chips_[i].bytes));
        if (from < to) {
            step(i, static_cast<size_t>(from - chips_[i].start), static_cast<size_t>(from - first),
                 static_cast<size_t>(to - from));
        }
    }
}

template <typename Step>
void FlashModel::ForEachPiece(uint32_t address, uint64_t length, Step step) {
    static_cast<const FlashModel*>(this)->ForEachPiece(address, length, step);
}

bool FlashModel::Covers(uint32_t address, uint32_t length) const {
    uint64_t covered = 0;
    ForEachPiece(address, length, [&](size_t, size_t, size_t, size_t count) { covered += count; });
    return covered == length;
}

std::vector<uint8_t> FlashModel::Read(uint32_t address, uint32_t length) const {
    std::vector<uint8_t> out(length, 0xFF);
    ForEachPiece(address, length, [&](size_t chip, size_t at, size_t pos, size_t count) {
        std::memcpy(out.data() + pos, chips_[chip].bytes.data() + at, count);
    });
    return out;
}

void FlashModel::Write(uint32_t address, const uint8_t* data, size_t length) {
    ForEachPiece(address, length, [&](size_t chip, size_t at, size_t pos, size_t count) {
        std::memcpy(chips_[chip].bytes.data() + at, data + pos, count);
    });
}

void FlashModel::Program(uint32_t address, const uint8_t* data, size_t length) {
    ForEachPiece(address, length, [&](size_t chip, size_t at, size_t pos, size_t count) {
        uint8_t* cells = chips_[chip].bytes.data() + at;
        for (size_t i = 0; i < count; ++i) {
            cells[i] &= data[pos + i];
        }
    });
}

void FlashModel::Erase(uint32_t address, uint32_t length) {
    ForEachPiece(address, length, [&](size_t chip, size_t at, size_t, size_t count) {
        std::memset(chips_[chip].bytes.data() + at, 0xFF, count);
    });
}

// File layout: magic, chip count, then per chip its start and size (words)
// and its bytes.
bool FlashModel::Save(const std::string& path, std::string* error) const {
    std::vector<uint8_t> head(kFileMagic, kFileMagic + sizeof kFileMagic);
    head.resize(head.size() + 4);
    PutLe32(head.data() + 8, ChipCount());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(head.data()), static_cast<std::streamsize>(head.size()));
    for (const Chip& chip : chips_) {
        uint8_t words[8];
        PutLe32(words, chip.start);
        PutLe32(words + 4, static_cast<uint32_t>(chip.bytes.size()));
        out.write(reinterpret_cast<const char*>(words), sizeof words);
        out.write(reinterpret_cast<const char*>(chip.bytes.data()),
                  static_cast<std::streamsize>(chip.bytes.size()));
    }
    out.close();
    if (!out) {
        *error = path + ": cannot write the flash file";
        return false;
    }
    return true;
}

bool FlashModel::Load(const std::string& path, std::string* error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return true;  // no file yet: flash starts erased
    }
    uint8_t head[12];
    in.read(reinterpret_cast<char*>(head), sizeof head);
    bool ok = in && std::memcmp(head, kFileMagic, sizeof kFileMagic) == 0 &&
              GetLe32(head + 8) == ChipCount();
    std::vector<Chip> loaded = chips_;
    for (size_t i = 0; ok && i < loaded.size(); ++i) {
        uint8_t words[8];
        in.read(reinterpret_cast<char*>(words), sizeof words);
        ok = in && GetLe32(words) == loaded[i].start && GetLe32(words + 4) == loaded[i].bytes.size();
        if (ok) {
            in.read(reinterpret_cast<char*>(loaded[i].bytes.data()),
                    static_cast<std::streamsize>(loaded[i].bytes.size()));
            ok = static_cast<bool>(in);
        }
    }
    if (!ok) {
        *error = path + ": not a flash file for these chips";
        return false;
    }
    chips_ = std::move(loaded);
    return true;
}

}  // namespace handsetsim
