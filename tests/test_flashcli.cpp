// flashcli: its console output (driven through the callbacks directly) and
// the built program run as a child process.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "tools/flashcli/console_host.h"

#ifndef FLASHCLI_PATH
#error "FLASHCLI_PATH names the flashcli program under test"
#endif

namespace {

using Lines = std::vector<std::string>;

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
        std::fflush(file);
        std::rewind(file);
        std::string text;
        for (int c = std::fgetc(file); c != EOF; c = std::fgetc(file)) text += static_cast<char>(c);
        return text;
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
    Lines OutLines() const {
        Lines lines;
        std::istringstream stream(out);
        for (std::string line; std::getline(stream, line);) lines.push_back(line);
        return lines;
    }
};

// Runs flashcli with `args` (none holds a single quote) through the shell.
ProgramRun RunFlashcli(const Lines& args) {
    const std::string errPath = ::testing::TempDir() + "flashcli_err_" + std::to_string(getpid());
    std::string command = FLASHCLI_PATH;
    for (const std::string& arg : args) command += " '" + arg + "'";
    ProgramRun run;
    std::FILE* pipe = popen((command + " 2>" + errPath).c_str(), "r");
    if (pipe == nullptr) return run;
    for (int c = std::fgetc(pipe); c != EOF; c = std::fgetc(pipe)) run.out += static_cast<char>(c);
    const int status = pclose(pipe);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::ifstream err(errPath);
    run.err.assign(std::istreambuf_iterator<char>(err), std::istreambuf_iterator<char>());
    std::remove(errPath.c_str());
    return run;
}

TEST(FlashcliProgram, HelpAndRefusedOptionStrings) {
    ProgramRun run = RunFlashcli({"--help"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out.rfind("Usage: flashcli [--port N=PATH]", 0), 0u) << run.out;
    EXPECT_TRUE(run.err.empty()) << run.err;

    run = RunFlashcli({"/platform=P1", "/contents=x"});
    EXPECT_EQ(run.status, 28);
    const Lines lines = run.OutLines();
    ASSERT_EQ(lines.size(), 2u + 17u) << run.out;
    EXPECT_EQ(lines[0], "/platform=P1");
    EXPECT_EQ(lines[1], "error: Unknown option: contents");
    EXPECT_EQ(lines[2], "Valid options: (values that contain blanks have to be enclosed in double quotes)");
    EXPECT_EQ(lines[18], "/maxspeed=#[,#]  limit transfer speed to 57600|115200|230400|460800|921600");
    EXPECT_NE(run.err.find("ERR_BAD_CMDLINE"), std::string::npos) << run.err;

    run = RunFlashcli({"/com=0"});  // other refusals show no usage
    EXPECT_EQ(run.status, 28);
    EXPECT_EQ(run.OutLines(), Lines{"error: 0 is not a valid COM port. Valid are 1-12"});
}

TEST(FlashcliProgram, BadFlagsPrintUsageToStderr) {
    const std::vector<Lines> cases = {
        {"--bogus", "/com=1"},
        {"/com=1", "--home"},
        {"--port", "65=/dev/null", "/com=1"},
        {"--port", "1", "/com=1"},
        {"--contents-mode", "five", "/com=1"},
        {"--polling-variant", "-1", "/com=1"},
        {"--contents", std::string(250, 'c'), "/com=1"},  // no room for its NUL
        {},                                               // no OPTION
    };
    for (const Lines& args : cases) {
        const ProgramRun run = RunFlashcli(args);
        const std::string shown = args.empty() ? "(none)" : args[0];
        EXPECT_EQ(run.status, 28) << shown;
        EXPECT_TRUE(run.out.empty()) << shown << ": " << run.out;
        EXPECT_NE(run.err.find("Usage: flashcli"), std::string::npos) << shown;
    }
}

// Without a COM port the job is refused before anything starts, after the
// options, joined from the arguments, are echoed.
TEST(FlashcliProgram, EchoesOptionsJoinedFromArguments) {
    const ProgramRun run = RunFlashcli({"--contents-mode=0", "/platform=P1", "-mode:READ", "/debug=1",
                                        "/savefile=\"read back.s19\"", "/read=0x0-0xff"});
    EXPECT_EQ(run.status, 31);
    EXPECT_EQ(run.OutLines(), (Lines{"/platform=P1", "/mode=read", "/debug=1", "/savefile=read back.s19",
                                     "/read=0x00000000 - 0x000000ff (0 - 255)"}));
    EXPECT_NE(run.err.find("ERR_BAD_PARAMS"), std::string::npos) << run.err;
}

}  // namespace
