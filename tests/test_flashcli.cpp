// flashcli: its console output (driven through the callbacks directly) and
// the built program run as a child process.
#include <gtest/gtest.h>

#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "tools/flashcli/console_host.h"

#ifndef FLASHCLI_PATH
#error "FLASHCLI_PATH names the flashcli program under test"
#endif

namespace {

// ---- Console output ---------------------------------------------------------

struct ConsoleTest : ::testing::Test {
    std::FILE* file = std::tmpfile();
    ConsoleHost host;
    FlashHostDescriptor* d = &host.descriptor;

    void SetUp() override { ASSERT_NE(file, nullptr); }
    void TearDown() override { std::fclose(file); }
    void Start(bool terminal) {
        ConsoleHostSetUp(&host, file, terminal, nullptr);
        ConsoleHostInstallCallbacks(&host);
    }
    std::string Output() {
        std::fflush(file);
        std::rewind(file);
        std::string text;
        for (int c = std::fgetc(file); c != EOF; c = std::fgetc(file)) text += static_cast<char>(c);
        return text;
    }
};

TEST_F(ConsoleTest, MessagesAndStatusOnOneLineEach) {
    Start(false);
    d->OnMessage(d, 0, "/com=1 ");
    d->OnMessage(d, 1, "slow line");
    d->OnMessage(d, 2, "Unknown option: x");
    d->OnStatusText(d, "All is well !");
    EXPECT_EQ(Output(), "/com=1 \nwarning: slow line\nerror: Unknown option: x\nstatus: All is well !\n");
}

TEST_F(ConsoleTest, ProgressLinesAtMostOnePerPercent) {
    Start(false);
    d->OnProgressBegin(d, "Loading Files ...", 1000);
    d->OnProgressUpdate(d, 5, 0);
    d->OnProgressUpdate(d, 10, 1);
    d->OnProgressUpdate(d, 15, 1);  // the same percentage repeated after a second
    d->OnProgressUpdate(d, 1000, 100);
    d->OnProgressEnd(d);
    EXPECT_EQ(Output(),
              "progress: Loading Files ... 0%\nprogress: Loading Files ... 1%\n"
              "progress: Loading Files ... 100%\n");
}

TEST_F(ConsoleTest, BarRedrawnOnlyOnChangeAndEndedWithNewline) {
    Start(true);
    const std::string empty = "\rT [" + std::string(40, '-') + "]   0%";
    const std::string half = "\rT [" + std::string(20, '#') + std::string(20, '-') + "]  50%";
    d->OnProgressBegin(d, "T", 10);
    d->OnProgressUpdate(d, 0, 0);
    d->OnProgressUpdate(d, 5, 50);
    d->OnProgressUpdate(d, 5, 50);
    d->OnMessage(d, 0, "in between");  // starts a line of its own
    d->OnProgressEnd(d);
    d->OnStatusText(d, "done");
    EXPECT_EQ(Output(), empty + half + "\nin between\nstatus: done\n");

    ConsoleHost other;
    ConsoleHostSetUp(&other, file, true, nullptr);
    ConsoleHostInstallCallbacks(&other);
    other.descriptor.OnProgressBegin(&other.descriptor, "U", 1);
    ConsoleHostClose(&other);  // an open bar is ended on the way out
    EXPECT_EQ(Output().substr(Output().size() - 2), "%\n");
}

TEST_F(ConsoleTest, PollAbortReportsTheFlag) {
    std::atomic<int> flag{0};
    ConsoleHostSetUp(&host, file, false, &flag);
    ConsoleHostInstallCallbacks(&host);
    EXPECT_EQ(d->OnPollAbort(d), 0);
    flag = 1;
    EXPECT_EQ(d->OnPollAbort(d), 1);
}

// ---- The program ------------------------------------------------------------

struct ProgramRun {
    int status = -1;  // exit status, or -1 when it did not exit normally
    std::string out;
    std::string err;
    std::vector<std::string> OutLines() const {
        std::vector<std::string> lines;
        std::istringstream stream(out);
        for (std::string line; std::getline(stream, line);) lines.push_back(line);
        return lines;
    }
};

// Reads both pipes until the child closes them.
void Drain(int outFd, int errFd, ProgramRun* run) {
    pollfd fds[2] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}};
    std::string* sinks[2] = {&run->out, &run->err};
    int open = 2;
    while (open > 0 && poll(fds, 2, 30000) > 0) {
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            char buffer[4096];
            const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                sinks[i]->append(buffer, static_cast<size_t>(n));
            } else {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            }
        }
    }
}

ProgramRun RunFlashcli(const std::vector<std::string>& args) {
    int outPipe[2];
    int errPipe[2];
    ProgramRun run;
    if (pipe(outPipe) != 0 || pipe(errPipe) != 0) return run;
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(outPipe[1], STDOUT_FILENO);
        dup2(errPipe[1], STDERR_FILENO);
        close(outPipe[0]);
        close(errPipe[0]);
        std::vector<char*> argv = {const_cast<char*>(FLASHCLI_PATH)};
        for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(nullptr);
        execv(FLASHCLI_PATH, argv.data());
        _exit(127);
    }
    close(outPipe[1]);
    close(errPipe[1]);
    Drain(outPipe[0], errPipe[0], &run);
    int status = 0;
    waitpid(pid, &status, 0);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

TEST(FlashcliProgram, HelpExplainsTheFlags) {
    const ProgramRun run = RunFlashcli({"--help"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out.rfind("Usage: flashcli [--port N=PATH]", 0), 0u) << run.out;
    EXPECT_NE(run.out.find("no key for the contents file"), std::string::npos);
    EXPECT_TRUE(run.err.empty()) << run.err;
}

TEST(FlashcliProgram, UnknownOptionIsRefusedWithUsageLines) {
    const ProgramRun run = RunFlashcli({"/platform=P1", "/contents=x"});
    EXPECT_EQ(run.status, 28);
    const std::vector<std::string> lines = run.OutLines();
    ASSERT_EQ(lines.size(), 2u + 17u) << run.out;
    EXPECT_EQ(lines[0], "/platform=P1");
    EXPECT_EQ(lines[1], "error: Unknown option: contents");
    EXPECT_EQ(lines[2], "Valid options: (values that contain blanks have to be enclosed in double quotes)");
    EXPECT_EQ(lines[18], "/maxspeed=#[,#]  limit transfer speed to 57600|115200|230400|460800|921600");
    EXPECT_NE(run.err.find("ERR_BAD_CMDLINE"), std::string::npos) << run.err;
}

TEST(FlashcliProgram, OtherRefusalsShowNoUsage) {
    const ProgramRun run = RunFlashcli({"/com=0"});
    EXPECT_EQ(run.status, 28);
    EXPECT_EQ(run.OutLines(), std::vector<std::string>{"error: 0 is not a valid COM port. Valid are 1-12"});
}

TEST(FlashcliProgram, BadFlagsPrintUsageToStderr) {
    const std::vector<std::vector<std::string>> cases = {
        {"--bogus", "/com=1"},
        {"/com=1", "--home"},
        {"--port", "0=/dev/null", "/com=1"},
        {"--port", "65=/dev/null", "/com=1"},
        {"--port", "1", "/com=1"},
        {"--port=1=", "/com=1"},
        {"--contents-mode", "five", "/com=1"},
        {"--polling-variant", "-1", "/com=1"},
        {"--contents", std::string(250, 'c'), "/com=1"},
        {},  // no OPTION
    };
    for (const std::vector<std::string>& args : cases) {
        const ProgramRun run = RunFlashcli(args);
        const std::string shown = args.empty() ? "(none)" : args[0];
        EXPECT_EQ(run.status, 28) << shown;
        EXPECT_TRUE(run.out.empty()) << shown << ": " << run.out;
        EXPECT_NE(run.err.find("Usage: flashcli"), std::string::npos) << shown;
    }
}

// Without a COM port the job description is incomplete: the options are
// echoed, then the job is refused before anything starts (ERR_BAD_PARAMS).
TEST(FlashcliProgram, EchoesOptionsJoinedFromArguments) {
    const ProgramRun run = RunFlashcli({"--contents-mode=0", "/platform=P1", "-mode:READ", "/debug=1",
                                 "/savefile=\"read back.s19\"", "/read=0x0-0xff"});
    EXPECT_EQ(run.status, 31);
    EXPECT_EQ(run.OutLines(), (std::vector<std::string>{"/platform=P1", "/mode=read", "/debug=1",
                                                        "/savefile=read back.s19",
                                                        "/read=0x00000000 - 0x000000ff (0 - 255)"}));
    EXPECT_NE(run.err.find("ERR_BAD_PARAMS"), std::string::npos) << run.err;
}

}  // namespace
