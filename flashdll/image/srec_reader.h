// Reading Motorola S-record files into an image buffer.
#pragma once

#include <cstdint>

struct ImageFileJob;
struct ImageBuffer;

// Fills `buffer`'s areas (0xFF where no record writes) from the file at
// `path` and rebuilds its region list; with `rangeCheck` data inside a
// reserved range of the options is refused. Returns an error code.
uint32_t LoadSRecordFile(const ImageFileJob& job, ImageBuffer* buffer, const char* path, int rangeCheck);
// Value of the next `n` characters read as hexadecimal digits (other
// characters count as 0).
uint32_t HexValue(const char* text, uint32_t n);
