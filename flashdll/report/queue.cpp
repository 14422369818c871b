#include "flashdll/report/queue.h"

#include <cstring>

#include "flashdll/report/notify.h"
#include "flashdll/os/clock.h"
#include "flashdll/os/event.h"

namespace {

constexpr uint32_t kMaxPayload = kFormatBufferSize;  // 259 characters + NUL
constexpr const char* kOverflowText = "Prevented message overflow !";

thread_local bool t_onDeliveryThread = false;
thread_local DeliveryGate* t_deliveryGate = nullptr;

struct RecordHead {
    uint32_t length;   // head and payload
    uint32_t session;  // low bits of the producing session; for diagnosis only
    uint32_t time;     // tick count when queued
    uint32_t type;
    uint32_t arg1;
    uint32_t arg2;
};
static_assert(sizeof(RecordHead) == kRecordHeadSize, "record head is six words");

// A filler moves the write position to 0, so it must not do so while the
// reader is at 0 with records still pending: the queue would then look empty.
bool FillerFits(uint32_t read, uint32_t write) {
    return read <= write && !(read == 0 && write != 0);
}

// A record must not reach undelivered records ahead of the write position.
bool RecordFits(uint32_t read, uint32_t write, uint32_t length) {
    return write < read ? write + length < read : true;
}

// Whether `length` bytes (a filler's or a record's) fit at the write position.
bool Fits(const NotifyQueue& queue, uint32_t length, bool filler) {
    const uint32_t write = queue.writePosition.load(std::memory_order_relaxed);
    const uint32_t read = queue.readPosition.load(std::memory_order_acquire);
    return filler ? FillerFits(read, write) : RecordFits(read, write, length);
}

void WriteRecord(const Reporter& reporter, uint32_t type, uint32_t arg1, uint32_t arg2,
                 const char* text, uint32_t payload) {
    NotifyQueue& queue = *reporter.queue;
    const uint32_t write = queue.writePosition.load(std::memory_order_relaxed);
    RecordHead head = {kRecordHeadSize + payload,
                       static_cast<uint32_t>(reporter.source),
                       os::TickCountMs(), type, arg1, arg2};
    std::memcpy(queue.ring + write, &head, sizeof head);
    if (type != NOTIFY_FILLER && payload != 0) {
        std::memcpy(queue.ring + write + kRecordHeadSize, text, payload - 1);
        queue.ring[write + kRecordHeadSize + payload - 1] = '\0';
    }
    uint32_t next = write + head.length;
    if (next >= kRingSize) {
        next = 0;
    }
    // Release: the record is complete before the reader can see it.
    queue.writePosition.store(next, std::memory_order_release);
    os::EventSet(queue.workEvent);
}

// Waits (with the writers' lock released) until the delivery thread has
// emptied the queue. False when it did not within the time limit, and at
// once when nobody would empty it: no load runs, or the caller is the
// delivery thread itself.
bool WaitForRoom(const Reporter& reporter, std::unique_lock<std::mutex>& lock) {
    if (reporter.running->load(std::memory_order_acquire) == 0 || t_onDeliveryThread) {
        return false;
    }
    lock.unlock();
    const bool drained = WaitDelivered(reporter);
    lock.lock();
    return drained;
}

enum class Stored { AtOnce, AfterWaiting, Dropped };

bool CarriesText(uint32_t type) {
    return type == NOTIFY_MESSAGE || type == NOTIFY_PROGRESS_BEGIN || type == NOTIFY_STATUS;
}

// The host is handed the payload of these records as a text: never leave it out.
const char* RecordText(uint32_t type, const char* text) {
    return text == nullptr && CarriesText(type) ? "" : text;
}

// Ring bytes of a text with its NUL, cut to the longest payload; 0 for none.
uint32_t PayloadBytes(const char* text) {
    if (text == nullptr) {
        return 0;
    }
    const size_t length = std::strlen(text);
    return static_cast<uint32_t>(length < kMaxPayload - 1 ? length : kMaxPayload - 1) + 1;
}

// Where a record of `length` bytes goes: at the write position, or, when it
// would reach the ring's end, behind a filler that takes the rest of the
// ring (whose length carries both positions past the end).
struct Placement {
    bool wraps;
    uint32_t needed;  // the record's bytes, or the filler's with its head
};

Placement PlaceRecord(const NotifyQueue& queue, uint32_t length) {
    const uint32_t write = queue.writePosition.load(std::memory_order_relaxed);
    const bool wraps = write + length >= kRingSize;
    return {wraps, wraps ? length + kRecordHeadSize : length};
}

// Queues one record, waiting for room when the ring is full and `mayWait`
// allows it. A record that finds no room because the delivery thread did
// not empty the queue in time is dropped rather than written over
// undelivered ones.
Stored EnqueueLocked(const Reporter& reporter, std::unique_lock<std::mutex>& lock, uint32_t type,
                     uint32_t arg1, uint32_t arg2, const char* text, bool mayWait) {
    NotifyQueue& queue = *reporter.queue;
    text = RecordText(type, text);
    const uint32_t payload = PayloadBytes(text);
    bool waited = false;
    for (;;) {
        os::EventReset(queue.drainedEvent);
        const Placement place = PlaceRecord(queue, kRecordHeadSize + payload);
        if (!Fits(queue, place.needed, place.wraps)) {
            // Another writer may take the room a wait made: wait again, as
            // long as the delivery thread keeps emptying the queue.
            if (!mayWait || !WaitForRoom(reporter, lock)) {
                return Stored::Dropped;
            }
            waited = true;
        } else if (place.wraps) {
            WriteRecord(reporter, NOTIFY_FILLER, 0, 0, nullptr, place.needed - kRecordHeadSize);
        } else {
            WriteRecord(reporter, type, arg1, arg2, text, payload);
            return waited ? Stored::AfterWaiting : Stored::AtOnce;
        }
    }
}

// "Prevented message overflow !" after a record that had to wait for room
// or was dropped, or while an earlier announcement is still owed. After a
// wait that timed out the host is not taking records: the announcement gets
// in only if there is room now, without a second wait; otherwise it stays
// owed and follows the next record that finds room.
void AnnounceOverflow(const Reporter& reporter, std::unique_lock<std::mutex>& lock, Stored stored) {
    const bool announced = EnqueueLocked(reporter, lock, NOTIFY_MESSAGE, FLASH_LEVEL_INFO, 0, kOverflowText,
                                         stored == Stored::AfterWaiting) != Stored::Dropped;
    reporter.queue->overflowUnannounced = !announced;
}

// Hands one record to the matching callback, if the host has set it.
void CallHost(FlashHostDescriptor* host, const RecordHead& head, const char* text) {
    switch (head.type) {
    case NOTIFY_MESSAGE:
        if (host->OnMessage != nullptr) host->OnMessage(host, head.arg1, text);
        break;
    case NOTIFY_PROGRESS_BEGIN:
        if (host->OnProgressBegin != nullptr) host->OnProgressBegin(host, text, head.arg1);
        break;
    case NOTIFY_PROGRESS:
        if (host->OnProgressUpdate != nullptr) host->OnProgressUpdate(host, head.arg1, head.arg2);
        break;
    case NOTIFY_STATUS:
        if (host->OnStatusText != nullptr) host->OnStatusText(host, text);
        break;
    case NOTIFY_PROGRESS_END:
        if (host->OnProgressEnd != nullptr) host->OnProgressEnd(host);
        break;
    default:  // unknown types deliver nothing
        break;
    }
}

}  // namespace

void Enqueue(const Reporter& reporter, uint32_t type, uint32_t arg1, uint32_t arg2, const char* text) {
    std::unique_lock<std::mutex> lock(reporter.queue->writers);
    const Stored stored = EnqueueLocked(reporter, lock, type, arg1, arg2, text, true);
    if (stored != Stored::AtOnce || reporter.queue->overflowUnannounced) {
        AnnounceOverflow(reporter, lock, stored);
    }
}

bool DeliverOne(const Reporter& reporter) {
    NotifyQueue& queue = *reporter.queue;
    const uint32_t read = queue.readPosition.load(std::memory_order_relaxed);
    const uint32_t write = queue.writePosition.load(std::memory_order_acquire);
    if (read == write) {
        return false;
    }
    RecordHead head;
    std::memcpy(&head, queue.ring + read, sizeof head);
    if (head.type != NOTIFY_FILLER) {
        // The callback gets a copy of the text: a delivery thread that is
        // given up on may still be in the callback when the session is freed.
        char text[kMaxPayload] = {};
        if (head.length > kRecordHeadSize) {
            const uint32_t payload = head.length - kRecordHeadSize;
            std::memcpy(text, queue.ring + read + kRecordHeadSize,
                        payload < kMaxPayload ? payload : kMaxPayload - 1);
        }
        FlashHostDescriptor* host = reporter.host;
        OpenDeliveryGate();
        CallHost(host, head, text);
        if (!CloseDeliveryGate()) {
            return false;  // given up on: the session may be gone
        }
    }
    uint32_t next = read + (head.length >= kRecordHeadSize ? head.length : kRecordHeadSize);
    if (next >= kRingSize) {
        next = 0;
    }
    queue.readPosition.store(next, std::memory_order_release);
    return true;
}

bool WaitDelivered(const Reporter& reporter) {
    NotifyQueue& queue = *reporter.queue;
    if (reporter.running->load(std::memory_order_acquire) == 0) {
        return true;
    }
    if (t_onDeliveryThread) {
        return false;  // the delivery thread cannot wait for itself
    }
    const uint32_t start = os::TickCountMs();
    for (;;) {
        if (queue.readPosition.load(std::memory_order_acquire) ==
            queue.writePosition.load(std::memory_order_acquire)) {
            return true;
        }
        const uint32_t elapsed = os::TickCountMs() - start;
        if (elapsed >= kDeliveryWaitMs) {
            return false;
        }
        // A pass that ended just before new records arrived may have set the
        // drained event already: clear it and ask for another pass.
        os::EventReset(queue.drainedEvent);
        os::EventSet(queue.workEvent);
        os::EventWait(queue.drainedEvent, kDeliveryWaitMs - elapsed);
    }
}

void ResetQueue(NotifyQueue& queue) {
    queue.overflowUnannounced = false;
    queue.writePosition.store(0, std::memory_order_relaxed);
    queue.readPosition.store(0, std::memory_order_relaxed);
}

void SetDeliveryThread(bool onDeliveryThread) { t_onDeliveryThread = onDeliveryThread; }

bool OnDeliveryThread() { return t_onDeliveryThread; }

void SetDeliveryGate(DeliveryGate* gate) { t_deliveryGate = gate; }

void OpenDeliveryGate() {
    if (t_deliveryGate != nullptr) {
        t_deliveryGate->mutex.unlock();
    }
}

bool CloseDeliveryGate() {
    DeliveryGate* gate = t_deliveryGate;
    if (gate == nullptr) {
        return true;
    }
    gate->mutex.lock();
    if (gate->abandoned) {
        gate->mutex.unlock();
        return false;
    }
    return true;
}
