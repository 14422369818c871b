#include "platform.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <climits>
#include <cstdlib>

#ifndef ENABLE_VIRTUAL_TERMINAL_PROCESSING
#define ENABLE_VIRTUAL_TERMINAL_PROCESSING 0x0004
#endif

namespace {

// A child started by StartChild finds the name of its stop event here.
constexpr char kStopEventVariable[] = "FLASHCLI_STOP_EVENT";
// Pipes cannot be waited on: they are looked at this often while waiting.
constexpr DWORD kPipePollMs = 10;

std::atomic<int>* g_stopFlag = nullptr;
// Set with every stop request; wakes ReadChildOutputs once (auto-reset).
HANDLE g_wakeEvent = nullptr;
HANDLE g_parentStopWait = nullptr;

HANDLE g_console = INVALID_HANDLE_VALUE;
DWORD g_consoleMode = 0;

void RequestStop() {
    if (g_stopFlag != nullptr) g_stopFlag->store(1);
    if (g_wakeEvent != nullptr) SetEvent(g_wakeEvent);
}

// Runs on a thread of its own that the system starts for each event.
BOOL WINAPI OnConsoleControl(DWORD event) {
    RequestStop();
    if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) {
        // The process ends as soon as this returns: hold on so that the job
        // can abort and close its ports. The system ends the process after
        // its own time-out, or main does when the job is over.
        Sleep(INFINITE);
    }
    return TRUE;  // handled: the job ends through OnPollAbort
}

void CALLBACK OnParentStop(PVOID, BOOLEAN) { RequestStop(); }

// A parent flashcli asks this one to stop through the named event it passes.
void WatchParentStopEvent() {
    char name[MAX_PATH];
    const DWORD length = GetEnvironmentVariableA(kStopEventVariable, name, sizeof name);
    if (length == 0 || length >= sizeof name) return;
    SetEnvironmentVariableA(kStopEventVariable, nullptr);  // not for processes this one might start
    HANDLE event = OpenEventA(SYNCHRONIZE, FALSE, name);
    if (event == nullptr) return;
    if (!RegisterWaitForSingleObject(&g_parentStopWait, event, OnParentStop, nullptr, INFINITE,
                                     WT_EXECUTEONLYONCE)) {
        CloseHandle(event);
    }
}

void RestoreConsoleMode() { SetConsoleMode(g_console, g_consoleMode); }

HANDLE AsHandle(intptr_t value) { return reinterpret_cast<HANDLE>(value); }
intptr_t FromHandle(HANDLE handle) { return reinterpret_cast<intptr_t>(handle); }

void CloseOutput(ChildProcess* child) {
    if (child->output != -1) CloseHandle(AsHandle(child->output));
    child->output = -1;
    child->outputEnded = true;
}

// One argument as the C runtime's parser of a command line reads it back:
// quotes around it when it holds blanks or quotes, a backslash before each
// inner quote, and backslashes doubled where a quote follows them.
std::string QuotedArgument(const std::string& arg) {
    if (!arg.empty() && arg.find_first_of(" \t\n\v\"") == std::string::npos) return arg;
    std::string quoted = "\"";
    size_t backslashes = 0;
    for (char c : arg) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        quoted.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
        quoted += c;
        backslashes = 0;
    }
    quoted.append(backslashes * 2, '\\');
    return quoted + "\"";
}

// The program's path is read up to its closing quote, without escapes.
std::string CommandLine(const std::string& program, const std::vector<std::string>& args) {
    std::string line = "\"" + program + "\"";
    for (const std::string& arg : args) line += " " + QuotedArgument(arg);
    return line;
}

// An inheritable copy of one of this process's standard handles, for a child.
HANDLE InheritableCopy(DWORD which) {
    HANDLE original = GetStdHandle(which);
    HANDLE copy = nullptr;
    if (original == nullptr || original == INVALID_HANDLE_VALUE ||
        !DuplicateHandle(GetCurrentProcess(), original, GetCurrentProcess(), &copy, 0, TRUE,
                         DUPLICATE_SAME_ACCESS)) {
        return nullptr;
    }
    return copy;
}

// A stop event that only this process and the child it is made for know by name.
HANDLE CreateStopEvent(std::string* name) {
    static unsigned s_made = 0;
    *name = "Local\\flashcli-stop-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++s_made);
    return CreateEventA(nullptr, TRUE, FALSE, name->c_str());
}

// Starts the process with the pipe's write end as its stdout; the variable
// that names its stop event is in the environment only while it starts.
bool CreateChildProcess(const std::string& program, const std::vector<std::string>& args, HANDLE output,
                        const std::string& stopEventName, PROCESS_INFORMATION* started) {
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = InheritableCopy(STD_INPUT_HANDLE);
    startup.hStdError = InheritableCopy(STD_ERROR_HANDLE);
    startup.hStdOutput = output;
    std::string line = CommandLine(program, args);
    SetEnvironmentVariableA(kStopEventVariable, stopEventName.c_str());
    const BOOL created = CreateProcessA(program.c_str(), &line[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                                        &startup, started);
    SetEnvironmentVariableA(kStopEventVariable, nullptr);
    if (startup.hStdInput != nullptr) CloseHandle(startup.hStdInput);
    if (startup.hStdError != nullptr) CloseHandle(startup.hStdError);
    return created != FALSE;
}

// Moves what the pipe holds into `received`: false once it has ended (its
// writer has gone and nothing is left) or broke.
bool ReadAvailable(ChildProcess* child, std::string* received, size_t maxBytes, bool* arrived) {
    HANDLE pipe = AsHandle(child->output);
    DWORD available = 0;
    if (!PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr)) return false;
    if (available == 0) return true;
    char buffer[4096];
    DWORD wanted = available < sizeof buffer ? available : sizeof buffer;
    if (wanted > maxBytes) wanted = static_cast<DWORD>(maxBytes);
    DWORD got = 0;
    if (!ReadFile(pipe, buffer, wanted, &got, nullptr)) return false;
    received->append(buffer, got);
    *arrived = got > 0;
    return true;
}

// One look at every open pipe: whether anything arrived or ended.
bool ReadOnce(ChildProcess* children, std::string* received, size_t count, size_t maxBytes) {
    bool changed = false;
    for (size_t i = 0; i < count; ++i) {
        if (children[i].output == -1) continue;
        bool arrived = false;
        if (!ReadAvailable(&children[i], &received[i], maxBytes, &arrived)) {
            CloseOutput(&children[i]);
            changed = true;
        }
        changed = changed || arrived;
    }
    return changed;
}

}  // namespace

static_assert(std::atomic<int>::is_always_lock_free, "the stop flag is set from a console control handler");

// The library reads the device names through the system's environment
// (GetEnvironmentVariableA) and the module directory through the C
// runtime's copy (getenv): both are set.
bool SetEnvironment(const char* name, const char* value) {
    return _putenv_s(name, value) == 0 && SetEnvironmentVariableA(name, value) != FALSE;
}

bool StdoutIsTerminal() {
    HANDLE console = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    if (console == nullptr || console == INVALID_HANDLE_VALUE || !GetConsoleMode(console, &mode)) return false;
    if ((mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0) return true;
    if (!SetConsoleMode(console, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING)) return false;
    // The console is the user's: it gets its mode back when flashcli ends.
    if (g_console == INVALID_HANDLE_VALUE) {
        g_console = console;
        g_consoleMode = mode;
        std::atexit(RestoreConsoleMode);
    }
    return true;
}

unsigned TerminalColumns() {
    CONSOLE_SCREEN_BUFFER_INFO info = {};
    if (!GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info)) return 0;
    const int columns = info.srWindow.Right - info.srWindow.Left + 1;
    return columns > 0 ? static_cast<unsigned>(columns) : 0;
}

void InstallStopHandlers(std::atomic<int>* flag) {
    g_stopFlag = flag;
    if (g_wakeEvent == nullptr) g_wakeEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
    WatchParentStopEvent();
}

std::string OwnProgramPath(const char* argv0) {
    char path[MAX_PATH * 4];
    const DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
    if (length > 0 && length < sizeof path) return std::string(path, length);
    return argv0 != nullptr ? argv0 : "";
}

bool StartChild(const std::string& program, const std::vector<std::string>& args, ChildProcess* child) {
    // Only the write end is inherited; it is closed here once the child has it,
    // so that the pipe ends when the child does (and no later child holds it).
    SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inheritable, 0)) return false;
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    std::string stopEventName;
    HANDLE stopEvent = CreateStopEvent(&stopEventName);
    PROCESS_INFORMATION started = {};
    const bool created =
        stopEvent != nullptr && CreateChildProcess(program, args, writeEnd, stopEventName, &started);
    CloseHandle(writeEnd);
    if (!created) {
        CloseHandle(readEnd);
        if (stopEvent != nullptr) CloseHandle(stopEvent);
        return false;
    }
    CloseHandle(started.hThread);
    child->id = FromHandle(started.hProcess);
    child->output = FromHandle(readEnd);
    child->stopEvent = FromHandle(stopEvent);
    child->outputEnded = false;
    return true;
}

void ReadChildOutputs(ChildProcess* children, std::string* received, size_t count, uint32_t timeoutMs,
                      size_t maxBytes) {
    bool anyOpen = false;
    for (size_t i = 0; i < count; ++i) anyOpen = anyOpen || children[i].output != -1;
    if (!anyOpen) return;
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    while (!ReadOnce(children, received, count, maxBytes)) {
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline) return;
        const DWORD step = deadline - now < kPipePollMs ? static_cast<DWORD>(deadline - now) : kPipePollMs;
        if (g_wakeEvent == nullptr) {
            Sleep(step);
        } else if (WaitForSingleObject(g_wakeEvent, step) == WAIT_OBJECT_0) {
            return;  // a stop request, as a signal ends poll() early
        }
    }
}

void InterruptChild(const ChildProcess& child) {
    if (child.id > 0 && child.stopEvent != -1) SetEvent(AsHandle(child.stopEvent));
}

// An exit code above INT_MAX is an exception's status (0xC000013A for Ctrl-C
// without a handler, 0xC0000005 for an access violation): the counterpart of
// a signal.
int WaitChild(ChildProcess* child) {
    if (child->output != -1) CloseOutput(child);
    if (child->id <= 0) return -1;
    HANDLE process = AsHandle(child->id);
    WaitForSingleObject(process, INFINITE);
    DWORD code = 0;
    const bool known = GetExitCodeProcess(process, &code) != FALSE;
    CloseHandle(process);
    if (child->stopEvent != -1) CloseHandle(AsHandle(child->stopEvent));
    child->id = -1;
    child->stopEvent = -1;
    return known && code <= static_cast<DWORD>(INT_MAX) ? static_cast<int>(code) : -1;
}
