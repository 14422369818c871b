#include "flashdll/os/clock.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

namespace os {

uint32_t TickCountMs() { return static_cast<uint32_t>(GetTickCount()); }

void SleepMs(uint32_t ms) { Sleep(ms); }

}  // namespace os
