// The checksum of every frame exchanged with the boot loaders and the flash
// loader: CRC-32 with the reflected IEEE 802.3 polynomial (0xEDB88320), the
// register starting at 1 and no final XOR. Crc32 of no bytes is 1; of "abc"
// it is 0xCBA7F2E7.
#pragma once

#include <cstddef>
#include <cstdint>

uint32_t Crc32(const void* data, size_t length);
// Continues a checksum over more bytes (start with crc = 1).
uint32_t Crc32Update(uint32_t crc, const void* data, size_t length);
