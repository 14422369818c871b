// Threads on the C runtime's thread start, with real priority levels.
#include "flashdll/os/thread.h"

#include <windows.h>
#include <process.h>

#include <new>

namespace os {

namespace {

// Exit code given to a thread that had to be terminated.
constexpr DWORD kAbandonedExitCode = 999;

// Sanitizers keep shadow frames and red zones on the stack: give their
// builds several times the room.
#if defined(FLASHDLL_SANITIZED)
constexpr size_t kStackFactor = 4;
#else
constexpr size_t kStackFactor = 1;
#endif

// Handed to the new thread, which frees it before running the entry, so
// that nothing the thread touches belongs to the handle.
struct StartRecord {
    ThreadEntry entry;
    void* argument;
};

unsigned __stdcall Trampoline(void* raw) {
    StartRecord* start = static_cast<StartRecord*>(raw);
    const ThreadEntry entry = start->entry;
    void* const argument = start->argument;
    delete start;
    return entry(argument);
}

}  // namespace

struct Thread {
    HANDLE handle;
};

Thread* ThreadStart(ThreadEntry entry, void* argument, size_t stackBytes) {
    Thread* thread = new (std::nothrow) Thread{nullptr};
    StartRecord* start = new (std::nothrow) StartRecord{entry, argument};
    if (thread == nullptr || start == nullptr) {
        delete thread;
        delete start;
        return nullptr;
    }
    const uintptr_t handle = _beginthreadex(nullptr, static_cast<unsigned>(stackBytes * kStackFactor),
                                            Trampoline, start, 0, nullptr);
    if (handle == 0) {
        delete thread;
        delete start;
        return nullptr;
    }
    thread->handle = reinterpret_cast<HANDLE>(handle);
    return thread;
}

bool ThreadWait(Thread* thread, uint32_t timeoutMs, uint32_t* exitCode) {
    const DWORD limit = timeoutMs == kWaitForever ? INFINITE : static_cast<DWORD>(timeoutMs);
    if (WaitForSingleObject(thread->handle, limit) != WAIT_OBJECT_0) {
        return false;
    }
    DWORD code = 0;
    GetExitCodeThread(thread->handle, &code);
    if (exitCode != nullptr) {
        *exitCode = static_cast<uint32_t>(code);
    }
    return true;
}

void ThreadAbandon(Thread* thread) {
    TerminateThread(thread->handle, kAbandonedExitCode);
    CloseHandle(thread->handle);
    delete thread;
}

void ThreadClose(Thread* thread) {
    CloseHandle(thread->handle);
    delete thread;
}

int ThreadGetPriority() { return GetThreadPriority(GetCurrentThread()); }

void ThreadSetPriority(int priority) { SetThreadPriority(GetCurrentThread(), priority); }

}  // namespace os
