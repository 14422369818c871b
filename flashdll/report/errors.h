// Names of error codes.
#pragma once

#include <cstddef>
#include <cstdint>

struct Reporter;

constexpr size_t kErrorNameSize = 26;  // "Unknown error: 4294967295" + NUL

// Writes the name of `code` into `buffer` (at least kErrorNameSize bytes);
// returns the text.
const char* ErrorName(uint32_t code, char* buffer);
// Posts "Error code: %s" at level 0.
void LogErrorCode(const Reporter& reporter, uint32_t code);
