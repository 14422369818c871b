// The services of the operating system that flashcli needs, behind one
// narrow interface; platform_posix.cpp and platform_win32.cpp implement it,
// chosen by the build.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

// Sets an environment variable for this process (read by the library).
bool SetEnvironment(const char* name, const char* value);
// Whether stdout is a terminal (progress is then drawn in place). On Windows:
// a console whose escape-sequence processing could be switched on; an older
// console counts as no terminal and gets plain lines.
bool StdoutIsTerminal();
// Width of the terminal on stdout; 0 when it cannot be told.
unsigned TerminalColumns();
// Ctrl-C and termination requests (on Windows also closing the console, and
// a parent flashcli's InterruptChild) set `*flag` to 1 and do nothing else.
void InstallStopHandlers(std::atomic<int>* flag);
// The path of this program's executable, for starting it again.
std::string OwnProgramPath(const char* argv0);

// A child process whose standard output comes to this process through a pipe.
struct ChildProcess {
    intptr_t id = -1;         // process id (Windows: process handle); -1: not running
    intptr_t output = -1;     // read end of the child's stdout; -1 once closed
    intptr_t stopEvent = -1;  // Windows: the event InterruptChild sets; -1: none
    bool outputEnded = false; // everything the child wrote has been read
};

// Starts `program` with `args` (argv[1..]), stdin and stderr shared with
// this process. False when it cannot be started.
bool StartChild(const std::string& program, const std::vector<std::string>& args, ChildProcess* child);
// Waits at most `timeoutMs` for output from any of the children whose output
// has not ended, then appends what arrived to `received[i]` (at most
// `maxBytes` per child and call). A child whose output reached its end gets
// outputEnded and its pipe closed. Returns early on a signal (Windows: on
// a stop request).
void ReadChildOutputs(ChildProcess* children, std::string* received, size_t count, uint32_t timeoutMs,
                      size_t maxBytes);
// Asks the child to stop as Ctrl-C would (on Windows through its stop event:
// a console control event needs a console that both share, and a child
// started off a console has none).
void InterruptChild(const ChildProcess& child);
// Waits for the child to end. Its exit status, or -1 when a signal ended it.
int WaitChild(ChildProcess* child);
