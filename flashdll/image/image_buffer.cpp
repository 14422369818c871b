#include "flashdll/image/image_buffer.h"

#include <cstdlib>

#include "flashdll/session/session.h"

namespace {

constexpr uint64_t kLargestAreaBytes = 0xFFFFFFFFull;  // a size must fit 32 bits

// Sets a buffer to the single area base ... base + size - 1; false when that
// would run past the top of the 32-bit address space.
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

// Allocates every area's block of one buffer. An area with last < first or
// a size that does not fit 32 bits is refused rather than allocated with a
// wrapped size.
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

}  // namespace

int AllocImageBuffers(Session* session) {
    const PlatformRecord& platform = session->platform;
    const bool ok = SetSingleArea(&session->setupLoaderImage, platform.setupLoaderBase, kSetupLoaderAreaSize) &&
                    SetSingleArea(&session->flashLoaderImage, platform.flashLoaderBase, kFlashLoaderAreaSize) &&
                    AllocateAreas(&session->setupLoaderImage) && AllocateAreas(&session->flashLoaderImage) &&
                    AllocateAreas(&session->userImage);
    if (!ok) {
        FreeImageBuffers(session);
        return 0;
    }
    return 1;
}

void FreeImageBuffers(Session* session) {
    FreeAreas(&session->setupLoaderImage);
    FreeAreas(&session->flashLoaderImage);
    FreeAreas(&session->userImage);
}

void ResetImageBuffers(Session* session) {
    ResetBuffer(&session->setupLoaderImage);
    ResetBuffer(&session->flashLoaderImage);
    ResetBuffer(&session->userImage);
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
