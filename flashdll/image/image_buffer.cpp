#include "flashdll/image/image_buffer.h"

#include <cstdlib>

namespace {

constexpr uint64_t kLargestAreaBytes = 0xFFFFFFFFull;  // a size must fit 32 bits

}  // namespace

bool SetSingleArea(ImageBuffer* buffer, uint32_t base, uint32_t size) {
    buffer->areaCount = 0;
    if (static_cast<uint64_t>(base) + size - 1 > 0xFFFFFFFFull) {
        return false;
    }
    buffer->areas[0].first = base;
    buffer->areas[0].last = base + (size - 1);
    buffer->areaCount = 1;
    return true;
}

bool AllocateAreas(ImageBuffer* buffer) {
    if (buffer->areaCount > kMaxAreas) {
        return false;
    }
    for (uint32_t i = 0; i < buffer->areaCount; ++i) {
        MemoryArea& area = buffer->areas[i];
        if (area.last < area.first) {
            return false;
        }
        const uint64_t size = static_cast<uint64_t>(area.last) - area.first + 1;
        if (size > kLargestAreaBytes || size > SIZE_MAX) {
            return false;
        }
        std::free(area.data);
        area.data = static_cast<uint8_t*>(std::malloc(static_cast<size_t>(size)));
        if (area.data == nullptr) {
            return false;
        }
    }
    return true;
}

void FreeAreas(ImageBuffer* buffer) {
    for (MemoryArea& area : buffer->areas) {
        std::free(area.data);
        area.data = nullptr;
    }
}

void ResetBuffer(ImageBuffer* buffer) {
    buffer->areaCount = 0;
    buffer->regionCount = 0;
    for (MemoryArea& area : buffer->areas) {
        area.data = nullptr;
    }
}

uint32_t FindArea(const ImageBuffer* buffer, uint32_t address) {
    const uint32_t count = buffer->areaCount < kMaxAreas ? buffer->areaCount : kMaxAreas;
    for (uint32_t i = 0; i < count; ++i) {
        if (buffer->areas[i].first <= address && address <= buffer->areas[i].last) {
            return i;
        }
    }
    return kNoArea;
}
