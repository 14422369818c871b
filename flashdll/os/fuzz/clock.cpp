// The virtual clock of fuzz builds: time moves only when the library waits,
// so a dialogue's time-outs cost no real time.
#include "flashdll/os/clock.h"

#include "flashdll/os/fuzz/fuzz_clock.h"
#include "flashdll/os/fuzz/fuzz_line.h"

namespace os {

namespace {
uint64_t g_nowUs = 0;
}  // namespace

namespace fuzz {

void ResetClock(uint32_t startMs) { g_nowUs = static_cast<uint64_t>(startMs) * 1000u; }

void AdvanceClockUs(uint64_t us) { g_nowUs += us; }

}  // namespace fuzz

uint32_t TickCountMs() { return static_cast<uint32_t>(g_nowUs / 1000u); }

void SleepMs(uint32_t ms) { fuzz::AdvanceClockUs(static_cast<uint64_t>(ms) * 1000u); }

}  // namespace os
