// The few services of the operating system that tests need beyond the
// standard library; each system has its own half (environment_posix.cpp
// here, tests/windows/environment_win32.cpp for Windows).
#pragma once

#include <string>

namespace testing_support {

// Sets the environment variable `name` of this process to `value`, or
// removes it when `value` is null.
void SetEnvironment(const char* name, const char* value);

// The full path of the running test program, as the system reports it.
std::string RunningExecutablePath();

}  // namespace testing_support
