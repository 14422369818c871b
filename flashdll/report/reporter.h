// Where the library's notifications go: the host's callbacks, reached at
// once outside a load and through the notification queue while one runs.
// The record only refers to state its owner (the session) keeps; it is made
// afresh for each use and never outlives a call.
#pragma once

#include <atomic>
#include <cstdint>

#include "flashdll/flashdll.h"

struct NotifyQueue;

struct ProgressState {
    uint32_t total;          // at least 1
    uint32_t current;
    uint32_t lastPercent;    // last percentage delivered
    uint32_t lastUpdateMs;   // tick count of the last update delivered
};

struct Reporter {
    FlashHostDescriptor* host;            // the callbacks
    bool debug;                           // log lines are wanted (the option debug)
    const std::atomic<uint8_t>* running;  // nonzero while a load runs: notifications are queued
    ProgressState* progress;              // the progress bar's state
    NotifyQueue* queue;
    uintptr_t source;                     // names the producer in queued records, for diagnosis only
};
