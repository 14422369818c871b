// Defaults and validity of the load options record.
#pragma once

#include <cstddef>
#include <cstdint>

#include "flashdll/flashdll.h"

constexpr uint32_t kSpeedList[FLASH_SPEED_COUNT] = FLASH_SPEED_LIST;
constexpr uint32_t kMaxErasePasses = 8;
constexpr uint32_t kDefaultMaxSpeedIndex = 1;  // 115200, of every port

// Writes the defaults; the contents table, contents mode and the range
// arrays beyond their counts keep their contents.
void SetLoadOptionDefaults(FlashLoadOptions* options);
// SUCCESS or ERR_BAD_PARAMS at the first rule broken.
uint32_t CheckLoadOptions(const FlashLoadOptions* options);
// True when a NUL lies within the first `size` bytes of `field`.
bool FieldHasNul(const char* field, size_t size);
