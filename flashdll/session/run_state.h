// The state of a running load that its two threads share, and the saved
// thread priorities of ThreadProtocol (job/run.h and job/prepare.h work
// with them).
#pragma once

#include <atomic>
#include <cstdint>

namespace os { struct Thread; }

constexpr uint32_t kPriorityStackDepth = 10;

struct RunState {
    std::atomic<uint8_t> runFlag{0};    // set while a load runs: notifications are queued
    std::atomic<uint8_t> abortFlag{0};  // set by ThreadGUI when the host asks for an abort
    os::Thread* guiThread = nullptr;
    os::Thread* protocolThread = nullptr;
    uint32_t recordedError = 100;       // ERR_UNKNOWN: nothing recorded
};

struct ThreadPriorityStack {
    int saved[kPriorityStackDepth];
    uint32_t depth;
};
