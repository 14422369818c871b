// Events in the manner of the ones the run control was designed around: an
// auto-reset event wakes one waiter and clears itself, a manual-reset event
// stays signalled until it is reset.
#pragma once

#include <cstdint>

namespace os {

struct Event;

constexpr uint32_t kWaitForever = 0xFFFFFFFFu;

// Returns nullptr when the event cannot be created.
Event* EventCreate(bool manualReset);
void EventClose(Event* event);
void EventSet(Event* event);
void EventReset(Event* event);
// True when the event was signalled within `timeoutMs` (kWaitForever waits
// without limit). An auto-reset event is cleared by the wait that sees it.
bool EventWait(Event* event, uint32_t timeoutMs);

}  // namespace os
