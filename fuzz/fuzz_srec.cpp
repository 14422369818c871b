// S-record files: any bytes as the file, read into an image buffer of three
// memory areas (one ending at the top of the address space), with or without
// reserved ranges. Input: one flag byte (bit 0: range check; bits 1..3: the
// number of reserved ranges), that many ranges of two little-endian words,
// then the file.
//
// After a successful read the region list must be sorted, disjoint, merged
// and inside the areas, clear of every reserved range when checked, and every
// byte outside the regions must still be 0xFF.
#include <cstring>
#include <memory>

#include "flashdll/image/image_buffer.h"
#include "flashdll/image/srec_reader.h"
#include "flashdll/session/session.h"
#include "support/fuzz_host.h"

namespace {

using fuzz_support::FuzzHost;

constexpr uint32_t kFlagRangeCheck = 0x01;
constexpr uint32_t kReservedCountShift = 1;
constexpr uint32_t kReservedCountMask = 0x07;
constexpr size_t kRangeBytes = 8;

constexpr MemoryArea kAreas[] = {
    {0x00000000u, 0x00000FFFu, nullptr},
    {0x00010000u, 0x00010FFFu, nullptr},
    {0xFFFFF000u, 0xFFFFFFFFu, nullptr},  // a record here may try to run past 2^32
};
constexpr uint32_t kAreaCount = sizeof kAreas / sizeof kAreas[0];

struct Image {
    std::unique_ptr<ImageBuffer> buffer = std::make_unique<ImageBuffer>();
    std::unique_ptr<uint8_t[]> blocks[kAreaCount];

    Image() {
        buffer->areaCount = kAreaCount;
        for (uint32_t i = 0; i < kAreaCount; ++i) {
            blocks[i].reset(new uint8_t[Size(kAreas[i])]);
            buffer->areas[i] = kAreas[i];
            buffer->areas[i].data = blocks[i].get();
        }
    }
    static size_t Size(const MemoryArea& area) { return static_cast<size_t>(area.last - area.first) + 1; }
};

bool InsideAnArea(const FlashRange& region) {
    for (const MemoryArea& area : kAreas) {
        if (area.first <= region.first && region.last <= area.last) return true;
    }
    return false;
}

bool Overlap(const FlashRange& a, const FlashRange& b) { return a.first <= b.last && b.first <= a.last; }

void CheckRegions(const ImageBuffer& buffer, const FlashLoadOptions& options, bool rangeCheck) {
    FUZZ_CHECK(buffer.regionCount <= kMaxRegions);
    for (uint32_t i = 0; i < buffer.regionCount; ++i) {
        const FlashRange& region = buffer.regions[i];
        FUZZ_CHECK(region.first <= region.last && InsideAnArea(region));
        if (i > 0) FUZZ_CHECK(static_cast<uint64_t>(buffer.regions[i - 1].last) + 1 < region.first);
        for (uint32_t r = 0; rangeCheck && r < options.reservedcount; ++r) {
            FUZZ_CHECK(!Overlap(region, options.reserved[r]));
        }
    }
}

// Bytes no region covers were never written. The byte loop carries no
// coverage hooks: it would cost more than the read it checks.
__attribute__((no_sanitize("coverage"))) void CheckUntouched(const ImageBuffer& buffer) {
    for (uint32_t a = 0; a < kAreaCount; ++a) {
        const MemoryArea& area = buffer.areas[a];
        std::unique_ptr<bool[]> covered(new bool[Image::Size(area)]());
        for (uint32_t i = 0; i < buffer.regionCount; ++i) {
            const FlashRange& region = buffer.regions[i];
            if (region.first < area.first || region.last > area.last) continue;
            std::memset(&covered[region.first - area.first], 1, static_cast<size_t>(region.last - region.first) + 1);
        }
        for (size_t k = 0; k < Image::Size(area); ++k) FUZZ_CHECK(covered[k] || area.data[k] == 0xFF);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static FuzzHost host;
    static Image image;
    if (size == 0) return 0;
    Session* session = host.session();
    FlashLoadOptions& options = session->options;
    const bool rangeCheck = (data[0] & kFlagRangeCheck) != 0;
    options.reservedcount = (data[0] >> kReservedCountShift) & kReservedCountMask;
    size_t offset = 1;
    for (uint32_t r = 0; r < options.reservedcount; ++r, offset += kRangeBytes) {
        options.reserved[r] = {fuzz_support::Le32(data, size, offset), fuzz_support::Le32(data, size, offset + 4)};
    }
    offset = offset < size ? offset : size;
    const std::string path = fuzz_support::WriteScratchFile("image.s19", data + offset, size - offset);

    ImageBuffer& buffer = *image.buffer;
    const uint32_t code = LoadSRecordFile(session, &buffer, path.c_str(), rangeCheck ? 1 : 0);
    FUZZ_CHECK(buffer.regionCount <= kMaxRegions);
    if (code == SUCCESS) {
        CheckRegions(buffer, options, rangeCheck);
        CheckUntouched(buffer);
    }
    return 0;
}
