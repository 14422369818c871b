// Between the two halves of the fuzz line: the device moves the virtual
// clock on by the time its reads wait and its bytes take on the line.
#pragma once

#include <cstdint>

namespace os::fuzz {

void AdvanceClockUs(uint64_t us);

}  // namespace os::fuzz
