// flashcli's host: turns the library's callbacks into events, stamped with
// the time since flashcli started, and hands each to one sink. The sink runs
// on the thread of the callback: the library's delivery thread during a load,
// the caller's thread outside one; a lock keeps them apart.
#pragma once

#include <atomic>
#include <mutex>

#include "event.h"
#include "flashdll/flashdll.h"

// Receives every event; `context` is the one given with it.
struct EventSink {
    void (*deliver)(void* context, const Event& event) = nullptr;
    void* context = nullptr;
};

struct ConsoleHost {
    FlashHostDescriptor descriptor = {};  // first: callbacks find the host through it
    EventSink sink;
    const std::atomic<int>* abortRequested = nullptr;  // read by OnPollAbort
    std::mutex lock;
};

// Prepares the descriptor (size) and remembers the sink and the abort flag.
void ConsoleHostSetUp(ConsoleHost* host, EventSink sink, const std::atomic<int>* abortRequested);
// Sets the six callbacks; call after FlashInit, which clears them.
void ConsoleHostInstallCallbacks(ConsoleHost* host);
// Hands an event of flashcli's own (summary, result) to the same sink.
void ConsoleHostPost(ConsoleHost* host, const Event& event);
