// One load from FlashLoad to its result, on two threads of the library:
// ThreadProtocol does the work, ThreadGUI delivers notifications and polls
// the host for an abort.
#pragma once

#include <atomic>
#include <cstdint>

namespace os { struct Thread; }
struct Session;

constexpr uint32_t kAbortPollMs = 750;
constexpr uint32_t kGuiStopWaitMs = 10000;
constexpr uint32_t kGuiTerminatedExitCode = 999;

struct RunState {
    std::atomic<uint8_t> runFlag{0};    // set while a load runs: notifications are queued
    std::atomic<uint8_t> abortFlag{0};  // set by ThreadGUI when the host asks for an abort
    os::Thread* guiThread = nullptr;
    os::Thread* protocolThread = nullptr;
    uint32_t recordedError = 100;       // ERR_UNKNOWN: nothing recorded
};

// Runs the load whose options are already in the session's working copy.
uint32_t RunLoad(Session* session);
// ThreadProtocol's work: ports, operating system check, preparation, report.
uint32_t ReLoad(Session* session);
