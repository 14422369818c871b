// Millisecond clock and sleep.
#pragma once

#include <cstdint>

namespace os {

// Monotonic milliseconds since an arbitrary start; wraps after 2^32 ms like
// the tick counter callers expect, so compare with unsigned differences.
uint32_t TickCountMs();

// Suspends the calling thread for at least `ms` milliseconds.
void SleepMs(uint32_t ms);

}  // namespace os
