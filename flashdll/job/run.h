// One load from FlashLoad to its result, on two threads of the library:
// ThreadProtocol does the work, ThreadGUI delivers notifications and polls
// the host for an abort.
#pragma once

#include <atomic>
#include <cstdint>

#include "flashdll/session/run_state.h"

struct Session;

constexpr uint32_t kAbortPollMs = 750;
constexpr uint32_t kGuiStopWaitMs = 10000;
constexpr uint32_t kGuiTerminatedExitCode = 999;

// Runs the load whose options are already in the session's working copy.
uint32_t RunLoad(Session* session);
// ThreadProtocol's work: ports, operating system check, preparation, report.
uint32_t ReLoad(Session* session);
