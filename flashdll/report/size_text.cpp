#include "flashdll/report/size_text.h"

#include <cstdio>

namespace {
constexpr uint32_t kKiloThreshold = 8192;
constexpr uint32_t kMegaThreshold = 0x800000;
}  // namespace

const char* SizeText(uint32_t bytes, char* buffer, size_t size) {
    const unsigned long n = bytes;
    if (bytes < kKiloThreshold) {
        std::snprintf(buffer, size, "%lu Bytes", n);
    } else if (bytes >= kMegaThreshold) {
        std::snprintf(buffer, size, "%lu MB (%lu Bytes)", n >> 20, n);
    } else {
        std::snprintf(buffer, size, "%lu KB (%lu Bytes)", n >> 10, n);
    }
    return buffer;
}
