// Threads with a chosen stack size, and the calling thread's priority.
#pragma once

#include <cstddef>
#include <cstdint>

#include "flashdll/os/event.h"

namespace os {

struct Thread;

using ThreadEntry = uint32_t (*)(void* argument);

// Starts `entry(argument)` on a new thread whose stack holds at least
// `stackBytes`. Returns nullptr when the thread cannot be created.
Thread* ThreadStart(ThreadEntry entry, void* argument, size_t stackBytes);

// Waits at most `timeoutMs` (kWaitForever: no limit) for the thread to end.
// True when it ended; its exit code is then stored in `*exitCode`.
bool ThreadWait(Thread* thread, uint32_t timeoutMs, uint32_t* exitCode);

// Gives up on a thread that did not end in time: it is stopped where the
// system allows it and detached otherwise; its resources are released.
void ThreadAbandon(Thread* thread);

// Releases the handle of a thread that has ended.
void ThreadClose(Thread* thread);

// Thread priority levels: 0 normal, 2 highest, 15 time-critical.
constexpr int kPriorityNormal = 0;
constexpr int kPriorityHighest = 2;
constexpr int kPriorityTimeCritical = 15;

int ThreadGetPriority();
void ThreadSetPriority(int priority);

}  // namespace os
