#include "system.h"

#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

namespace {

std::atomic<int>* g_stopFlag = nullptr;

// Runs in signal context: a lock-free store is all it may do.
void OnStopSignal(int) {
    if (g_stopFlag != nullptr) {
        g_stopFlag->store(1);
    }
}

}  // namespace

static_assert(std::atomic<int>::is_always_lock_free, "the stop flag is set from a signal handler");

bool SetEnvironment(const char* name, const char* value) { return setenv(name, value, 1) == 0; }

bool StdoutIsTerminal() { return isatty(STDOUT_FILENO) == 1; }

void InstallStopHandlers(std::atomic<int>* flag) {
    g_stopFlag = flag;
    struct sigaction action = {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;  // the library's waits go on and notice the abort
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}
