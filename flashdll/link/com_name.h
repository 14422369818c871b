// The names of COM ports as the host and the log lines show them.
#pragma once

#include <cstdint>

constexpr uint32_t kComNameCount = 64;
constexpr uint32_t kComNameSize = 6;

// "COM1" ... "COM64" for COM index 0 ... 63; "COM?" for anything else.
const char* ComName(uint32_t comIndex);
// Fills the process-wide COM name table.
void BuildComNameTable();
