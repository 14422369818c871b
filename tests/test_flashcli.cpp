// flashcli: its console output (driven through the callbacks directly) and
// the built program run as a child process.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "support/job_fixture.h"
#include "tools/flashcli/console_host.h"

#ifndef FLASHCLI_PATH
#error "FLASHCLI_PATH names the flashcli program under test"
#endif

namespace {

std::string ReadAll(std::FILE* file) {
    std::string text;
    for (int c = std::fgetc(file); c != EOF; c = std::fgetc(file)) text += static_cast<char>(c);
    return text;
}

struct ConsoleTest : ::testing::Test {
    std::FILE* file = std::tmpfile();
    ConsoleHost host;
    FlashHostDescriptor* d = &host.descriptor;
    std::atomic<int> abortFlag{0};

    void TearDown() override { std::fclose(file); }
    void Start(bool terminal) {
        ASSERT_NE(file, nullptr);
        ConsoleHostSetUp(&host, file, terminal, &abortFlag);
        ConsoleHostInstallCallbacks(&host);
    }
    std::string Output() {
        std::rewind(file);
        return ReadAll(file);
    }
};

TEST_F(ConsoleTest, LinesWithPrefixesAndAtMostOneProgressLinePerPercent) {
    Start(false);
    d->OnMessage(d, 0, "/com=1 ");
    d->OnMessage(d, 1, "slow line");
    d->OnMessage(d, 2, "Unknown option: x");
    d->OnStatusText(d, "All is well !");
    d->OnProgressBegin(d, "Loading Files ...", 1000);
    d->OnProgressUpdate(d, 5, 0);
    d->OnProgressUpdate(d, 10, 1);
    d->OnProgressUpdate(d, 15, 1);  // the same percentage repeated after a second
    d->OnProgressUpdate(d, 1000, 100);
    d->OnProgressEnd(d);
    EXPECT_EQ(Output(), "/com=1 \nwarning: slow line\nerror: Unknown option: x\nstatus: All is well !\n"
                        "progress: Loading Files ... 0%\nprogress: Loading Files ... 1%\n"
                        "progress: Loading Files ... 100%\n");
    EXPECT_EQ(d->OnPollAbort(d), 0);
    abortFlag = 1;
    EXPECT_EQ(d->OnPollAbort(d), 1);
}

TEST_F(ConsoleTest, BarOnATerminalRedrawnOnlyOnChange) {
    Start(true);
    d->OnProgressBegin(d, "T", 10);
    d->OnProgressUpdate(d, 0, 0);
    d->OnProgressUpdate(d, 5, 50);
    d->OnProgressUpdate(d, 5, 50);
    d->OnMessage(d, 0, "in between");  // starts a line of its own
    d->OnProgressBegin(d, "U", 1);
    ConsoleHostClose(&host);  // an open bar is ended on the way out
    EXPECT_EQ(Output(), "\rT [" + std::string(40, '-') + "]   0%\rT [" + std::string(20, '#') +
                            std::string(20, '-') + "]  50%\nin between\n\rU [" + std::string(40, '-') + "]   0%\n");
}

struct ProgramRun {
    int status = -1;  // exit status, or -1 when it did not exit normally
    std::string out, err;
};

// Runs flashcli with `args` (none holds a single quote) through the shell.
ProgramRun RunFlashcli(const std::vector<std::string>& args) {
    const std::string errPath = ::testing::TempDir() + "flashcli_err_" + std::to_string(getpid());
    std::string command = FLASHCLI_PATH;
    for (const std::string& arg : args) command += " '" + arg + "'";
    ProgramRun run;
    std::FILE* out = popen((command + " 2>" + errPath).c_str(), "r");
    if (out == nullptr) return run;
    run.out = ReadAll(out);
    const int status = pclose(out);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::FILE* err = std::fopen(errPath.c_str(), "r");
    run.err = ReadAll(err);
    std::fclose(err);
    std::remove(errPath.c_str());
    return run;
}

TEST(FlashcliProgram, HelpEchoesAndRefusedOptionStrings) {
    ProgramRun run = RunFlashcli({"--help"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out.rfind("Usage: flashcli [--port N=PATH]", 0), 0u) << run.out;
    EXPECT_TRUE(run.err.empty()) << run.err;

    run = RunFlashcli({"/platform=P1", "/contents=x"});
    EXPECT_EQ(run.status, 28);
    EXPECT_EQ(std::count(run.out.begin(), run.out.end(), '\n'), 2 + 17) << run.out;
    EXPECT_EQ(run.out.rfind("/platform=P1\nerror: Unknown option: contents\nValid options: (values that contain "
                            "blanks have to be enclosed in double quotes)\n/platform=#", 0), 0u) << run.out;
    EXPECT_NE(run.out.find("\n/maxspeed=#[,#]  limit transfer speed to 57600|115200|230400|460800|921600\n"),
              std::string::npos) << run.out;
    EXPECT_NE(run.err.find("ERR_BAD_CMDLINE"), std::string::npos) << run.err;

    // Without a COM port the job is refused before anything starts, after
    // the options, joined from the arguments, are echoed.
    run = RunFlashcli({"--contents-mode=0", "/platform=P1", "-mode:READ", "/debug=1", "/savefile=\"read back.s19\"",
                       "/read=0x0-0xff"});
    EXPECT_EQ(run.status, 31);
    EXPECT_EQ(run.out, "/platform=P1\n/mode=read\n/debug=1\n/savefile=read back.s19\n"
                       "/read=0x00000000 - 0x000000ff (0 - 255)\n");
    EXPECT_NE(run.err.find("ERR_BAD_PARAMS"), std::string::npos) << run.err;
}

TEST(FlashcliProgram, BadFlagsPrintUsageToStderr) {
    const std::vector<std::vector<std::string>> cases = {
        {"--bogus", "/com=1"},
        {"/com=1", "--home"},
        {"--port", "65=/dev/null", "/com=1"},
        {"--contents-mode", "five", "/com=1"},
        {"--polling-variant", "-1", "/com=1"},
        {"--contents", std::string(250, 'c'), "/com=1"},  // no room for its NUL
        {},                                               // no OPTION
    };
    for (const auto& args : cases) {
        const ProgramRun run = RunFlashcli(args);
        const std::string shown = args.empty() ? "(none)" : args[0];
        EXPECT_EQ(run.status, 28) << shown;
        EXPECT_TRUE(run.out.empty()) << shown << ": " << run.out;
        EXPECT_NE(run.err.find("Usage: flashcli"), std::string::npos) << shown;
    }
}

}  // namespace

// A whole job through the program: Ctrl-C while the boot ROM is being woken
// asks the library to abort, and the job ends with ERR_ABORT (exit status 3).
TEST(FlashcliProgram, InterruptEndsTheJobWithErrAbort) {
    testing_support::JobFixture job;
    job.AddPlatform(testing_support::PassivePlatform("P1", "fl.s19", 0x100000));
    job.WriteLoader("fl.s19", 0x100000, 1024);
    handsetsim::Scenario scenario;
    scenario.faults.bootSilent = true;
    const std::string uart = job.StartHandset(scenario, {1}).UartPath(0);
    const std::string home = job.Path("");
    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    const pid_t child = fork();
    if (child == 0) {
        dup2(pipeFds[1], STDOUT_FILENO);
        close(pipeFds[0]);
        execl(FLASHCLI_PATH, "flashcli", "--home", home.c_str(), "--port", ("1=" + uart).c_str(),
              "/platform=P1", "/com=1", "/phases=bl", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(pipeFds[1]);
    std::string out;
    char buffer[256];
    ssize_t got = 0;
    while (out.find("Power on mobile !") == std::string::npos && (got = read(pipeFds[0], buffer, sizeof buffer)) > 0) {
        out.append(buffer, static_cast<size_t>(got));
    }
    kill(child, SIGINT);
    while ((got = read(pipeFds[0], buffer, sizeof buffer)) > 0) out.append(buffer, static_cast<size_t>(got));
    close(pipeFds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status)) << out;
    EXPECT_EQ(WEXITSTATUS(status), 3) << out;
    EXPECT_NE(out.find("error: Sorry, an error has occured ! (ERR_ABORT)\nstatus: Sorry, an error has occured ! "
                       "(ERR_ABORT)\n"), std::string::npos) << out;
}
