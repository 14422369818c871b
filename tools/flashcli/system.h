// The few services of the operating system that flashcli needs.
#pragma once

#include <atomic>

// Sets an environment variable for this process (read by the library).
bool SetEnvironment(const char* name, const char* value);
// Whether stdout is a terminal (progress is then drawn as a bar).
bool StdoutIsTerminal();
// Ctrl-C and termination requests set `*flag` to 1 and do nothing else.
void InstallStopHandlers(std::atomic<int>* flag);
