// Threads on pthreads. A thread's end is announced through its record, so
// that a wait can give up after a time limit; the record is shared by the
// handle and the running thread and freed by whichever lets go last.
#include "flashdll/os/thread.h"

#include <limits.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>

namespace os {

namespace {

// Sanitizers keep shadow frames and red zones on the stack: give their
// builds several times the room.
#if defined(FLASHDLL_SANITIZED)
constexpr size_t kStackFactor = 4;
#else
constexpr size_t kStackFactor = 1;
#endif

// POSIX has no per-thread priority levels for ordinary threads; the level a
// thread asked for is kept here so that saving and restoring it pairs up.
thread_local int t_priority = kPriorityNormal;

}  // namespace

struct Thread {
    pthread_t id{};
    ThreadEntry entry = nullptr;
    void* argument = nullptr;
    std::mutex mutex;
    std::condition_variable endedSignal;
    bool ended = false;   // guarded by mutex
    bool joined = false;  // touched by the handle's owner only
    uint32_t exitCode = 0;
    std::atomic<int> references{2};  // the handle and the running thread
};

namespace {

void Release(Thread* thread) {
    if (thread->references.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        delete thread;
    }
}

void* Trampoline(void* raw) {
    Thread* thread = static_cast<Thread*>(raw);
    const uint32_t exitCode = thread->entry(thread->argument);
    {
        std::lock_guard<std::mutex> lock(thread->mutex);
        thread->exitCode = exitCode;
        thread->ended = true;
    }
    thread->endedSignal.notify_all();
    Release(thread);
    return nullptr;
}

// The stack size pthreads accepts: at least the system minimum, whole pages.
size_t StackSize(size_t requested) {
    size_t size = requested * kStackFactor;
    const size_t minimum = static_cast<size_t>(PTHREAD_STACK_MIN);
    if (size < minimum) {
        size = minimum;
    }
    const long page = sysconf(_SC_PAGESIZE);
    if (page > 0) {
        const size_t pageSize = static_cast<size_t>(page);
        size = (size + pageSize - 1) / pageSize * pageSize;
    }
    return size;
}

}  // namespace

Thread* ThreadStart(ThreadEntry entry, void* argument, size_t stackBytes) {
    Thread* thread = new (std::nothrow) Thread;
    if (thread == nullptr) {
        return nullptr;
    }
    thread->entry = entry;
    thread->argument = argument;
    pthread_attr_t attributes;
    if (pthread_attr_init(&attributes) != 0) {
        delete thread;
        return nullptr;
    }
    int error = pthread_attr_setstacksize(&attributes, StackSize(stackBytes));
    if (error == 0) {
        error = pthread_create(&thread->id, &attributes, Trampoline, thread);
    }
    pthread_attr_destroy(&attributes);
    if (error != 0) {
        delete thread;
        return nullptr;
    }
    return thread;
}

bool ThreadWait(Thread* thread, uint32_t timeoutMs, uint32_t* exitCode) {
    {
        std::unique_lock<std::mutex> lock(thread->mutex);
        const auto hasEnded = [thread] { return thread->ended; };
        if (timeoutMs == kWaitForever) {
            thread->endedSignal.wait(lock, hasEnded);
        } else if (!thread->endedSignal.wait_for(lock, std::chrono::milliseconds(timeoutMs), hasEnded)) {
            return false;
        }
        if (exitCode != nullptr) {
            *exitCode = thread->exitCode;
        }
    }
    if (!thread->joined) {
        pthread_join(thread->id, nullptr);  // returns at once: the entry has returned
        thread->joined = true;
    }
    return true;
}

// A thread cannot be stopped safely from outside on POSIX: it is detached
// and frees its record itself when it finally ends.
void ThreadAbandon(Thread* thread) {
    if (!thread->joined) {
        pthread_detach(thread->id);
    }
    Release(thread);
}

void ThreadClose(Thread* thread) {
    if (!thread->joined) {
        pthread_join(thread->id, nullptr);
    }
    Release(thread);
}

int ThreadGetPriority() { return t_priority; }

void ThreadSetPriority(int priority) { t_priority = priority; }

}  // namespace os
