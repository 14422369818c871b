// Writing the read ranges of an image buffer as an S-record file.
#pragma once

#include <cstdint>

struct ImageFileJob;
struct ImageBuffer;

// Writes the options' read ranges of `buffer` to the options' save file.
uint32_t SaveSRecordFile(const ImageFileJob& job, const ImageBuffer* buffer);
// Two upper-case hexadecimal digits of `value` (high nibble first) at `out`.
void HexByte(uint8_t value, char* out);
