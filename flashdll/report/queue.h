// The notification queue: a 16 KiB ring of records that the load's threads
// append and the delivery thread (ThreadGUI) hands to the host's callbacks.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "flashdll/report/reporter.h"

namespace os { struct Event; }

constexpr uint32_t kRingSize = 16384;
constexpr uint32_t kRecordHeadSize = 24;
constexpr uint32_t kDeliveryWaitMs = 15000;

enum NotifyType : uint32_t {
    NOTIFY_FILLER = 0,
    NOTIFY_MESSAGE = 1,
    NOTIFY_PROGRESS_BEGIN = 2,
    NOTIFY_PROGRESS = 3,
    NOTIFY_STATUS = 4,
    NOTIFY_PROGRESS_END = 5,
};

struct NotifyQueue {
    std::atomic<uint32_t> writePosition{0};  // written by writers only
    std::atomic<uint32_t> readPosition{0};   // written by the delivery thread only
    std::mutex writers;                       // serialises Enqueue
    bool overflowUnannounced = false;         // guarded by writers: a dropped announcement is owed
    os::Event* workEvent = nullptr;           // auto-reset: wakes ThreadGUI
    os::Event* drainedEvent = nullptr;        // manual-reset: set when a pass emptied the queue
    // A filler head written near the end may run up to 24 bytes past the ring.
    uint8_t ring[kRingSize + kRecordHeadSize] = {};
};

// The functions below that take a Reporter work on its queue; a load runs
// while its running flag is set.

// Queues one record. `text` (may be null) is copied into the record: for
// NOTIFY_MESSAGE and NOTIFY_PROGRESS_BEGIN it is the second argument, for
// NOTIFY_STATUS the first.
void Enqueue(const Reporter& reporter, uint32_t type, uint32_t arg1, uint32_t arg2, const char* text);
// Delivers the oldest record; false when the queue is empty.
bool DeliverOne(const Reporter& reporter);
// While a load runs: wakes ThreadGUI and waits up to 15 s until it has
// delivered everything queued. True when drained (or no load runs).
bool WaitDelivered(const Reporter& reporter);
// Empties the queue (start of a load).
void ResetQueue(NotifyQueue& queue);
// Marks the calling thread as the delivery thread (ThreadGUI), which must
// never wait for itself to drain the queue.
void SetDeliveryThread(bool onDeliveryThread);
bool OnDeliveryThread();

// A lock that the delivery thread holds while it works, and opens only while
// it runs a host callback. Whoever gives up on a delivery thread stuck in a
// callback closes the gate with `abandoned` set; when the callback returns,
// the thread sees that and leaves without touching the session again.
struct DeliveryGate {
    std::mutex mutex;
    bool abandoned = false;  // guarded by mutex
};
// Installs the calling thread's gate (nullptr: none). The thread must hold
// the gate's mutex from then on.
void SetDeliveryGate(DeliveryGate* gate);
// Open the calling thread's gate around a host callback. CloseDeliveryGate
// returns false when the thread was abandoned meanwhile (the gate is then
// left open). Without a gate both do nothing.
void OpenDeliveryGate();
bool CloseDeliveryGate();
