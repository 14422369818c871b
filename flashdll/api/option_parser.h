// Reading option strings ("/platform=P1 /com=1,2 /mode=flash /file=x.s19")
// into the load options record. The export is FlashParseOptionString.
#pragma once

#include <cstddef>
#include <cstdint>

#include "flashdll/flashdll.h"

struct Session;

// Buffers of one option while it is read; a key or value that does not fit
// refuses the option as unknown.
constexpr size_t kOptionKeySize = 512;
constexpr size_t kOptionValueSize = 512;
// Longest text of one range bound; a longer bound makes the range invalid.
constexpr size_t kRangeBoundMaxLength = 100;
constexpr uint32_t kUsageLineCount = 17;

// Reads "first-last" (each bound decimal, or hexadecimal when its text holds
// an 'x' anywhere). True when both bounds are numbers of 32 bits and
// first < last.
bool ParseRange(const char* text, FlashRange* range);
// Posts the usage lines, level 0.
void ShowUsage(Session* session);
