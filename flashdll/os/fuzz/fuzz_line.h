// The in-memory serial line and the virtual clock that fuzz builds link in
// place of the system's serial devices and clock. Every device that the
// library opens reads from one script of bytes; silences in the script stand
// for stretches in which nothing arrives. Time passes only when the library
// waits: a read that ends short waits its whole time-out, a sleep sleeps, and
// bytes take the time the line needs to carry them. Single-threaded use only.
#pragma once

#include <cstddef>
#include <cstdint>

namespace os::fuzz {

// The bytes the line delivers from now on, in order (the caller keeps them
// alive); forgets the silences, the written count and the exhaustion hook.
void ResetLine(const uint8_t* data, size_t size);
// One read that brings nothing comes before the byte at `offset` (at the end
// of the script when `offset` is its size). Several at one offset add up.
void AddSilence(size_t offset);
// Called, with `context`, by every read that finds the script used up. The
// harness uses it to end dialogues that would wait for the host's abort.
void OnLineExhausted(void (*hook)(void* context), void* context);
// Bytes the library has written on all devices since ResetLine.
uint64_t BytesWritten();
// Devices opened and not yet closed.
uint32_t OpenDevices();

// Sets the virtual clock to `startMs` (in TickCountMs units).
void ResetClock(uint32_t startMs);

}  // namespace os::fuzz
