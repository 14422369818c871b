// Byte counts for people: "%lu Bytes", "%lu KB (%lu Bytes)", "%lu MB (%lu Bytes)".
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t kSizeTextSize = 48;

// Writes the size text of `bytes` into `buffer` and returns it.
const char* SizeText(uint32_t bytes, char* buffer, size_t size);
