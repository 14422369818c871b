#include "platform.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

std::atomic<int>* g_stopFlag = nullptr;

// Runs in signal context: a lock-free store is all it may do.
void OnStopSignal(int) {
    if (g_stopFlag != nullptr) {
        g_stopFlag->store(1);
    }
}

void CloseOutput(ChildProcess* child) {
    if (child->output >= 0) close(static_cast<int>(child->output));
    child->output = -1;
    child->outputEnded = true;
}

// Reads what is there: false once the pipe reached its end (or broke).
bool ReadAvailable(ChildProcess* child, std::string* received, size_t maxBytes) {
    char buffer[4096];
    const size_t wanted = maxBytes < sizeof buffer ? maxBytes : sizeof buffer;
    const ssize_t got = read(static_cast<int>(child->output), buffer, wanted);
    if (got > 0) {
        received->append(buffer, static_cast<size_t>(got));
        return true;
    }
    return got < 0 && (errno == EINTR || errno == EAGAIN);
}

}  // namespace

static_assert(std::atomic<int>::is_always_lock_free, "the stop flag is set from a signal handler");

bool SetEnvironment(const char* name, const char* value) { return setenv(name, value, 1) == 0; }

bool StdoutIsTerminal() { return isatty(STDOUT_FILENO) == 1; }

unsigned TerminalColumns() {
    struct winsize size = {};
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
    return 0;
}

void InstallStopHandlers(std::atomic<int>* flag) {
    g_stopFlag = flag;
    struct sigaction action = {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;  // the library's waits go on and notice the abort
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

std::string OwnProgramPath(const char* argv0) {
    char path[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    if (length > 0) return std::string(path, static_cast<size_t>(length));
    return argv0 != nullptr ? argv0 : "";
}

bool StartChild(const std::string& program, const std::vector<std::string>& args, ChildProcess* child) {
    int pipeFds[2];
    if (pipe(pipeFds) != 0) return false;
    // The read end stays out of every child, this one and the later ones.
    fcntl(pipeFds[0], F_SETFD, FD_CLOEXEC);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, pipeFds[1]);
    pid_t pid = -1;
    const int failed = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(pipeFds[1]);
    if (failed != 0) {
        close(pipeFds[0]);
        return false;
    }
    child->id = pid;
    child->output = pipeFds[0];
    child->outputEnded = false;
    return true;
}

void ReadChildOutputs(ChildProcess* children, std::string* received, size_t count, uint32_t timeoutMs,
                      size_t maxBytes) {
    std::vector<pollfd> polled;
    std::vector<size_t> owners;
    for (size_t i = 0; i < count; ++i) {
        if (children[i].output < 0) continue;
        polled.push_back(pollfd{static_cast<int>(children[i].output), POLLIN, 0});
        owners.push_back(i);
    }
    if (polled.empty()) return;
    if (poll(polled.data(), polled.size(), static_cast<int>(timeoutMs)) <= 0) return;  // time-out or signal
    for (size_t k = 0; k < polled.size(); ++k) {
        if (polled[k].revents == 0) continue;
        ChildProcess* child = &children[owners[k]];
        if (!ReadAvailable(child, &received[owners[k]], maxBytes)) CloseOutput(child);
    }
}

void InterruptChild(const ChildProcess& child) {
    if (child.id > 0) kill(static_cast<pid_t>(child.id), SIGINT);
}

int WaitChild(ChildProcess* child) {
    if (child->output >= 0) CloseOutput(child);
    if (child->id <= 0) return -1;
    int status = 0;
    pid_t done = -1;
    do {
        done = waitpid(static_cast<pid_t>(child->id), &status, 0);
    } while (done < 0 && errno == EINTR);
    child->id = -1;
    return done > 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
