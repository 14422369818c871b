#include "support/environment.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cstdlib>
#include <string>

namespace testing_support {

// The C runtime keeps its own copy of the environment, which getenv reads,
// beside the system's, which GetEnvironmentVariableA reads: both are set.
// "NAME=" removes the variable from the runtime's copy.
void SetEnvironment(const char* name, const char* value) {
    const std::string assignment = std::string(name) + "=" + (value != nullptr ? value : "");
    _putenv(assignment.c_str());
    SetEnvironmentVariableA(name, value);
}

std::string RunningExecutablePath() {
    char path[MAX_PATH + 1] = {};
    const DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
    return length > 0 && length < sizeof path ? std::string(path, length) : std::string();
}

}  // namespace testing_support
