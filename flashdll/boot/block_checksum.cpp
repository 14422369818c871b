#include "flashdll/boot/boot_loader.h"

// The active boot loader's block checksum: the 16-bit sum of the bytes,
// inverted.
uint16_t BlockChecksum(const uint8_t* bytes, size_t count) {
    uint16_t sum = 0;
    for (size_t i = 0; i < count; ++i) {
        sum = static_cast<uint16_t>(sum + bytes[i]);
    }
    return static_cast<uint16_t>(sum ^ 0xFFFFu);
}
