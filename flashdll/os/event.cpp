// Events built on the standard library's mutex and condition variable; the
// same code serves every system.
#include "flashdll/os/event.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>

namespace os {

struct Event {
    std::mutex mutex;
    std::condition_variable changed;
    bool signalled = false;
    bool manualReset = false;
};

Event* EventCreate(bool manualReset) {
    Event* event = new (std::nothrow) Event;
    if (event != nullptr) {
        event->manualReset = manualReset;
    }
    return event;
}

void EventClose(Event* event) { delete event; }

void EventSet(Event* event) {
    {
        std::lock_guard<std::mutex> lock(event->mutex);
        event->signalled = true;
    }
    if (event->manualReset) {
        event->changed.notify_all();
    } else {
        event->changed.notify_one();
    }
}

void EventReset(Event* event) {
    std::lock_guard<std::mutex> lock(event->mutex);
    event->signalled = false;
}

bool EventWait(Event* event, uint32_t timeoutMs) {
    std::unique_lock<std::mutex> lock(event->mutex);
    const auto isSignalled = [event] { return event->signalled; };
    if (timeoutMs == kWaitForever) {
        event->changed.wait(lock, isSignalled);
    } else if (!event->changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), isSignalled)) {
        return false;
    }
    if (!event->manualReset) {
        event->signalled = false;
    }
    return true;
}

}  // namespace os
