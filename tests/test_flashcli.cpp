// flashcli as a program: its command line, and whole jobs against stand-in
// handsets, one handset or several at once, with the program run as a child
// process of the test and its output read as a script would.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "support/job_fixture.h"
#include "tools/flashcli/json_event.h"

#ifndef FLASHCLI_PATH
#error "FLASHCLI_PATH names the flashcli program under test"
#endif

namespace {

using testing_support::ImageChunk;
using testing_support::JobFixture;

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) lines.push_back(line);
    return lines;
}

size_t Count(const std::string& text, const std::string& what) {
    size_t count = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++count;
    return count;
}

// flashcli as a child process: stdout through a pipe, stderr into a file.
class Program {
public:
    explicit Program(const std::vector<std::string>& args) {
        errPath_ = ::testing::TempDir() + "flashcli_err_" + std::to_string(getpid()) + "_" + std::to_string(++runs_);
        int pipeFds[2];
        if (pipe(pipeFds) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            setpgid(0, 0);  // a group of its own: a hung run can be ended with all its children
            const int err = open(errPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            dup2(pipeFds[1], STDOUT_FILENO);
            dup2(err, STDERR_FILENO);
            std::vector<char*> argv = {const_cast<char*>(FLASHCLI_PATH)};
            for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
            argv.push_back(nullptr);
            execv(FLASHCLI_PATH, argv.data());
            _exit(127);
        }
        close(pipeFds[1]);
        out_ = pipeFds[0];
    }
    ~Program() {
        if (pid_ > 0) Finish();
        std::remove(errPath_.c_str());
    }
    // Reads until `text` has come `count` times; false when the output ends or 20 s pass first.
    bool WaitFor(const std::string& text, size_t count) {
        return ReadUntil([&] { return Count(output_, text) >= count; });
    }
    void Interrupt() { kill(pid_, SIGINT); }
    // Reads to the end and waits: the exit status, or -1 when it did not exit
    // normally or had to be killed after 20 s without an end.
    int Finish() {
        ReadUntil([] { return false; });
        if (!outputEnded_) kill(-pid_, SIGKILL);
        close(out_);
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    const std::string& Out() const { return output_; }
    std::string Err() const { return testing_support::ReadFileText(errPath_); }

private:
    bool ReadUntil(const std::function<bool()>& done) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kWaitSeconds);
        while (!done()) {
            pollfd readable = {out_, POLLIN, 0};
            const bool late = std::chrono::steady_clock::now() > deadline;
            if (outputEnded_ || late || poll(&readable, 1, 100) < 0) return false;
            if (readable.revents == 0) continue;
            char buffer[4096];
            const ssize_t got = read(out_, buffer, sizeof buffer);
            if (got > 0) output_.append(buffer, static_cast<size_t>(got));
            outputEnded_ = got <= 0;
        }
        return true;
    }
    static constexpr int kWaitSeconds = 20;
    static inline int runs_ = 0;
    bool outputEnded_ = false;
    pid_t pid_ = -1;
    int out_ = -1;
    std::string output_, errPath_;
};

struct ProgramRun {
    int status = -1;
    std::string out, err;
};

ProgramRun RunProgram(const std::vector<std::string>& args) {
    Program program(args);
    ProgramRun run;
    run.status = program.Finish();
    run.out = program.Out();
    run.err = program.Err();
    return run;
}

TEST(FlashcliProgram, HelpVersionEchoesAndRefusedOptionStrings) {
    ProgramRun run = RunProgram({"--help"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out.rfind("Usage: flashcli [FLAG]... OPTION...", 0), 0u) << run.out;
    EXPECT_NE(run.out.find("  24 ERR_VERIFY_DIFFERENCE"), std::string::npos);
    EXPECT_TRUE(run.err.empty()) << run.err;
    EXPECT_EQ(RunProgram({"--version"}).out, "flashcli " FLASHDLL_VERSION_STRING "\n");

    run = RunProgram({"/platform=P1", "/contents=x"});
    EXPECT_EQ(run.status, 28);
    EXPECT_EQ(std::count(run.out.begin(), run.out.end(), '\n'), 2 + 17 + 1) << run.out;
    EXPECT_EQ(run.out.rfind("/platform=P1\nerror: Unknown option: contents\nValid options: (values that contain "
                            "blanks have to be enclosed in double quotes)\n/platform=#", 0), 0u) << run.out;
    EXPECT_NE(run.out.find("\n/maxspeed=#[,#]  limit transfer speed to 57600|115200|230400|460800|921600\n"),
              std::string::npos) << run.out;
    EXPECT_EQ(Lines(run.out).back(), "result: ERR_BAD_CMDLINE (28)");  // no job, so no summary

    // Without a COM port the job is refused before anything starts, after
    // the options, joined from the arguments, are echoed.
    run = RunProgram({"--contents-mode=0", "/platform=P1", "-mode:READ", "-q", "/savefile=\"read back.s19\"",
               "/read=0x0-0xff", "-v"});
    EXPECT_EQ(run.status, 28) << "-q and -v together";
    run = RunProgram({"--contents-mode=0", "/platform=P1", "-mode:READ", "/savefile=\"read back.s19\"",
                      "/read=0x0-0xff", "-v"});
    EXPECT_EQ(run.status, 31);
    EXPECT_EQ(run.out, "/platform=P1\n/mode=read\n/savefile=read back.s19\n/read=0x00000000 - 0x000000ff (0 - 255)\n"
                       "/debug=1\nsummary: nothing read: the main operation did not run\n"
                       "result: ERR_BAD_PARAMS (31)\n");
}

TEST(FlashcliProgram, BadFlagsPrintUsageToStderr) {
    const std::vector<std::vector<std::string>> cases = {
        {"--bogus", "/com=1"},
        {"/com=1", "--home"},
        {"--port", "65=/dev/null", "/com=1"},
        {"--contents-mode", "five", "/com=1"},
        {"--polling-variant", "-1", "/com=1"},
        {"--contents", std::string(250, 'c'), "/com=1"},  // no room for its NUL
        {"--log-dir", "logs", "/com=1"},                  // only with --handsets
        {"--handsets", "h.txt", "--port", "1=/dev/null", "/com=1"},
        {"--json"},  // no OPTION
    };
    for (const auto& args : cases) {
        const ProgramRun run = RunProgram(args);
        EXPECT_EQ(run.status, 28) << args[0];
        EXPECT_TRUE(run.out.empty()) << args[0] << ": " << run.out;
        EXPECT_NE(run.err.find("Usage: flashcli"), std::string::npos) << args[0];
    }
}

TEST(FlashcliProgram, HandsetsFileRefusedWithItsLineBeforeAnythingStarts) {
    testing_support::TempDir dir;
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"h1\n", ":1: 1=PATH is missing"},
        {"ok 1=/dev/null   # first\n\nbad name 1=x\n", ":3: 'name' is not 1=PATH or 2=PATH"},
        {"../up 1=/dev/null\n", ":1: the name '../up' starts with '.'"},
        {"a/b 1=/dev/null\n", ":1: the name 'a/b' may hold only letters"},
        {"a 1=x 2=y 1=z\n", ":1: 1= is given twice"},
        {"a 1=x\n# c\na 1=y\n", ":3: the name 'a' is used on line 1 already"},
        {"b 2=x\n", ":1: 1=PATH is missing"},
        {"# nothing but a comment\n\n", ": no handset listed"},
    };
    for (const auto& [text, error] : cases) {
        const std::string file = dir.Write("handsets.txt", text);
        const ProgramRun run = RunProgram({"--handsets", file, "/platform=P1", "/com=1"});
        EXPECT_EQ(run.status, 28) << text;
        EXPECT_TRUE(run.out.empty()) << text;
        EXPECT_NE(run.err.find(file + error), std::string::npos) << text << run.err;
    }
    EXPECT_EQ(RunProgram({"--handsets", dir.File("missing.txt"), "/com=1"}).status, 16);
    const ProgramRun refused = RunProgram({"--handsets", dir.Write("one.txt", "a 1=/dev/null\n"), "/bogus=1"});
    EXPECT_EQ(refused.status, 28);
    EXPECT_TRUE(refused.out.empty()) << refused.out;
    EXPECT_NE(refused.err.find("error: Unknown option: bogus"), std::string::npos) << refused.err;
}

// Single-port flash jobs on a paced line at 921600 baud: the flash loader
// runs at the line's speed, so its share of the line is meaningful.
class FlashcliJob : public ::testing::Test {
protected:
    static constexpr uint32_t kFlashBase = 0x20000000, kImageSize = 96 * 1024;
    void SetUp() override {
        job.AddPlatform(testing_support::PassivePlatform("P1", "fl.s19", 0x08000000)
                            .WithFlash({testing_support::FlashDefinition(kFlashBase, 2, 0)}));
        job.WriteLoader("fl.s19", 0x08000000, 2048);
        scenario.chips.push_back(job.AddAmdChip(0x01, 0x227E, kFlashBase, "64*4,256*7"));
        scenario.paceLine = true;
        image = {{kFlashBase, testing_support::RandomBytes(kImageSize, 7)}};
        imagePath = job.WriteImage("image.s19", image);
    }
    // The flags and options of a job on one port, after `flags`.
    std::vector<std::string> JobArgs(const std::vector<std::string>& flags, const std::string& uart,
                                     const std::string& mode) {
        std::vector<std::string> args = flags;
        args.insert(args.end(), {"--home", job.Path("")});
        if (!uart.empty()) args.insert(args.end(), {"--port", "1=" + uart});
        args.insert(args.end(), {"/platform=P1", "/com=1", "/maxspeed=921600", "/mode=" + mode, "/file=" + imagePath});
        return args;
    }
    std::unique_ptr<handsetsim::Handset> StartExtraHandset(const handsetsim::Scenario& extra) {
        std::string error;
        auto handset = handsetsim::Handset::Start(extra, &error);
        EXPECT_TRUE(handset) << error;
        return handset;
    }

    JobFixture job;
    handsetsim::Scenario scenario;
    std::vector<ImageChunk> image;
    std::string imagePath;
};

struct JsonEvent {
    Event event;
    std::string handset, line;
};

std::vector<JsonEvent> ReadEvents(const std::string& out) {
    std::vector<JsonEvent> events;
    for (const std::string& line : Lines(out)) {
        JsonEvent read{Event(), "", line};
        EXPECT_TRUE(ReadJsonLine(line, &read.event, &read.handset)) << line;
        events.push_back(read);
    }
    return events;
}

double NumberMember(const std::string& line, const std::string& name) {
    const size_t at = line.find("\"" + name + "\":");
    return at == std::string::npos ? -1 : std::strtod(line.c_str() + at + name.size() + 3, nullptr);
}

// Progress events come in runs: begin, updates no faster than every 100 ms
// (the last excepted) with rising percentages, end. Events are in time order.
void ExpectWellFormedRuns(const std::vector<JsonEvent>& events) {
    bool inRun = false;
    std::vector<Event> updates;
    double lastT = 0;
    for (const JsonEvent& read : events) {
        const Event& event = read.event;
        EXPECT_GE(event.t, lastT) << read.line;
        lastT = event.t;
        if (event.kind == EventKind::ProgressBegin) {
            EXPECT_FALSE(inRun) << read.line;
            inRun = true;
            updates.clear();
        } else if (event.kind == EventKind::Progress) {
            EXPECT_TRUE(inRun) << read.line;
            if (!updates.empty()) {
                EXPECT_GT(event.percent, updates.back().percent) << read.line;
            }
            updates.push_back(event);
        } else if (event.kind == EventKind::ProgressEnd) {
            EXPECT_TRUE(inRun) << read.line;
            inRun = false;
            for (size_t i = 1; i + 1 < updates.size(); ++i) {
                EXPECT_GE(updates[i].t - updates[i - 1].t, 0.099) << "update " << i << " before " << read.line;
            }
        }
    }
}

// The main run of one handset's events: its begin and end time.
std::pair<double, double> MainRun(const std::vector<JsonEvent>& events, const std::string& handset) {
    std::pair<double, double> run = {-1, -1};
    for (const JsonEvent& read : events) {
        if (read.handset != handset) continue;
        const bool mainBegins = read.event.kind == EventKind::ProgressBegin && read.event.text == "Loading Flash ...";
        if (mainBegins) run.first = read.event.t;
        if (read.event.kind == EventKind::ProgressEnd && run.first >= 0 && run.second < 0) run.second = read.event.t;
    }
    return run;
}

TEST_F(FlashcliJob, JsonEventsOfAFlashJobAndTheShareOfTheLine) {
    const std::string uart = job.StartHandset(scenario, {1}).UartPath(0);
    Program program(JobArgs({"--json"}, uart, "flash"));
    const int status = program.Finish();
    EXPECT_TRUE(program.Err().empty()) << program.Err();
    const std::vector<JsonEvent> events = ReadEvents(program.Out());
    ASSERT_GE(events.size(), 3u) << program.Out();
    ExpectWellFormedRuns(events);

    // The main run as the events tell it; the port's final speed is the summary's (below).
    const auto [begin, end] = MainRun(events, "");
    ASSERT_GT(end, begin);
    const double bytes = kImageSize, baud = 921600;
    const double share = bytes / (end - begin) / (baud / 10.0) * 100;
    EXPECT_LT(share, 100.5) << "a paced line cannot carry more than its baud rate";

    const JsonEvent& summary = events[events.size() - 2];
    const JsonEvent& result = events.back();
    ASSERT_EQ(summary.event.kind, EventKind::Summary) << summary.line;
    EXPECT_NEAR(NumberMember(summary.line, "line_share"), share, 2.0) << summary.line;
    EXPECT_NEAR(NumberMember(summary.line, "bytes_per_second"), bytes / (end - begin), bytes / (end - begin) / 50);
    EXPECT_EQ(summary.event.summary.bytes, kImageSize);
    EXPECT_NE(summary.line.find("\"mode\":\"flash\""), std::string::npos);
    EXPECT_NE(summary.line.find("\"ports\":[{\"com\":1,\"baud\":921600}]"), std::string::npos) << summary.line;
    ASSERT_EQ(result.event.kind, EventKind::Result);
    EXPECT_EQ(result.line.substr(result.line.find(",\"code\"")), ",\"code\":0,\"name\":\"SUCCESS\"}");
    EXPECT_EQ(status, 0);
    EXPECT_TRUE(job.FlashHolds(image));
}

TEST_F(FlashcliJob, PlainLinesKeepTheirBudgetAndEndWithSummaryAndResult) {
    const std::string uart = job.StartHandset(scenario, {1}).UartPath(0);
    const ProgramRun run = RunProgram(JobArgs({"-v"}, uart, "flash"));
    EXPECT_EQ(run.status, 0) << run.out;
    const std::vector<std::string> lines = Lines(run.out);
    // Runs begin at 0% and show a line every ten percent at most (the steps: OutputTest).
    EXPECT_LE(Count(run.out, "\nprogress: "), 11 * Count(run.out, " 0%\n")) << run.out;
    EXPECT_EQ(Count(run.out, "\nprogress: Loading Flash ... 0%\n"), 1u) << run.out;
    EXPECT_NE(run.out.find("\nprogress: Loading Flash ... 100%\n"), std::string::npos);
    EXPECT_NE(run.out.find("\nClosed COM1\n"), std::string::npos) << "-v shows the log lines";
    ASSERT_GE(lines.size(), 2u);
    const std::regex summary("summary: flashed 96 KiB in [0-9]+\\.[0-9] s, [0-9]+\\.[0-9] KiB/s over COM1 at "
                             "921600 baud: [0-9]+% of the line");
    EXPECT_TRUE(std::regex_match(lines[lines.size() - 2], summary))
        << lines[lines.size() - 2];
    EXPECT_EQ(lines.back(), "result: SUCCESS (0)");
}

TEST_F(FlashcliJob, QuietVerifyShowsTheDifferenceSummaryAndResultOnly) {
    const std::string uart = job.StartHandset(scenario, {1}).UartPath(0);  // its flash is erased
    const ProgramRun run = RunProgram(JobArgs({"-q"}, uart, "verify"));
    EXPECT_EQ(run.status, 24);
    const std::vector<std::string> lines = Lines(run.out);
    for (const std::string& line : lines) {
        EXPECT_TRUE(std::regex_search(line, std::regex("^(warning|error|summary|result): "))) << line;
    }
    ASSERT_GE(lines.size(), 4u) << run.out;
    EXPECT_EQ(lines[0].rfind("warning: VerifyData: Difference found !", 0), 0u) << run.out;
    EXPECT_EQ(lines[lines.size() - 2].rfind("summary: verified 0 bytes in ", 0), 0u) << run.out;
    EXPECT_EQ(lines.back(), "result: ERR_VERIFY_DIFFERENCE (24)");
}

TEST_F(FlashcliJob, ThreeHandsetsAtOnceOneRefusingEveryOpen) {
    const std::string uart1 = job.StartHandset(scenario, {1}).UartPath(0);
    handsetsim::Scenario refusing = scenario;
    refusing.faults.errCommand = "OPEN";
    refusing.faults.errNth = 1;
    refusing.faults.errCount = 1000;
    auto handset2 = StartExtraHandset(refusing);
    auto handset3 = StartExtraHandset(scenario);
    ASSERT_TRUE(handset2 && handset3);
    const std::string file = job.Home().Write("handsets.txt", "# the station\nh1 1=" + uart1 + "\n\nh2 1=" +
                                                                  handset2->UartPath(0) + "   # refuses OPEN\nh3 1=" +
                                                                  handset3->UartPath(0) + "\n");
    const std::string logs = job.Path("logs");
    Program program(JobArgs({"--json", "--handsets", file, "--log-dir", logs}, "", "flash"));
    const int status = program.Finish();
    EXPECT_EQ(status, 15) << "the code of the first handset that failed";

    const std::vector<JsonEvent> events = ReadEvents(program.Out());
    std::map<std::string, std::vector<JsonEvent>> byHandset;
    for (const JsonEvent& read : events) byHandset[read.handset].push_back(read);
    ASSERT_EQ(byHandset.size(), 3u) << "every event names its handset";
    const std::map<std::string, uint32_t> codes = {{"h1", 0}, {"h2", 15}, {"h3", 0}};
    for (const auto& [name, code] : codes) {
        const std::vector<JsonEvent>& own = byHandset[name];
        ExpectWellFormedRuns(own);
        ASSERT_GE(own.size(), 2u) << name;
        EXPECT_EQ(own[own.size() - 2].event.kind, EventKind::Summary) << name;
        EXPECT_EQ(own[own.size() - 2].event.summary.bytes, code == 0 ? kImageSize : 0u) << name;
        EXPECT_EQ(own.back().event.kind, EventKind::Result) << name;
        EXPECT_EQ(own.back().event.code, code) << name;
    }
    EXPECT_TRUE(job.FlashHolds(image));
    EXPECT_EQ(handset3->Flash(kFlashBase, kImageSize), image[0].bytes);
    const auto run1 = MainRun(events, "h1"), run3 = MainRun(events, "h3");
    EXPECT_TRUE(run1.first < run3.second && run3.first < run1.second) << "the jobs ran side by side";

    const std::string log2 = testing_support::ReadFileText(logs + "/h2.log");
    EXPECT_NE(log2.find("\nGiving up on OpenSector\n"), std::string::npos) << "log lines in the log: " << log2;
    EXPECT_EQ(Lines(log2).back(), "result: ERR_TOO_MANY_RETRIES (15)");
    EXPECT_NE(testing_support::ReadFileText(logs + "/h3.log").find("\nsummary: flashed 96 KiB in "), std::string::npos);
}

TEST_F(FlashcliJob, InterruptAbortsEveryHandsetsJob) {
    scenario.faults.bootSilent = true;
    const std::string uart1 = job.StartHandset(scenario, {1}).UartPath(0);
    auto handset2 = StartExtraHandset(scenario);
    auto handset3 = StartExtraHandset(scenario);
    ASSERT_TRUE(handset2 && handset3);
    const std::string file = job.Home().Write("handsets.txt", "h1 1=" + uart1 + "\nh2 1=" + handset2->UartPath(0) +
                                                                  "\nh3 1=" + handset3->UartPath(0) + "\n");
    Program program(JobArgs({"-v", "--handsets", file}, "", "flash"));
    for (const char* name : {"h1", "h2", "h3"}) {
        ASSERT_TRUE(program.WaitFor(std::string("[") + name + "] Power on mobile !\n", 1)) << program.Out();
    }
    program.Interrupt();
    EXPECT_EQ(program.Finish(), 3) << program.Out();
    const std::string& out = program.Out();
    for (const char* name : {"h1", "h2", "h3"}) {
        const std::string prefix = std::string("\n[") + name + "] ";
        EXPECT_NE(out.find(prefix + "error: Sorry, an error has occured ! (ERR_ABORT)\n"), std::string::npos) << name;
        EXPECT_NE(out.find(prefix + "Closed COM1\n"), std::string::npos) << name << ": its port closed";
        EXPECT_NE(out.find(prefix + "result: ERR_ABORT (3)\n"), std::string::npos) << name;
        EXPECT_TRUE(std::regex_search(out, std::regex(std::string("\n") + name + " +Power on mobile ! +0% +ERR_ABORT +"
                                                      "[0-9.]+ s\n")))
            << name << " in the final table:\n" << out;
    }
}

// A single job in this process's way: Ctrl-C while the boot ROM is being
// woken asks the library to abort, and the job ends with ERR_ABORT.
TEST_F(FlashcliJob, InterruptEndsASingleJobWithErrAbort) {
    scenario.faults.bootSilent = true;
    const std::string uart = job.StartHandset(scenario, {1}).UartPath(0);
    Program program(JobArgs({}, uart, "flash"));
    ASSERT_TRUE(program.WaitFor("Power on mobile !", 1)) << program.Out();
    program.Interrupt();
    EXPECT_EQ(program.Finish(), 3);
    EXPECT_NE(program.Out().find("error: Sorry, an error has occured ! (ERR_ABORT)\nstatus: Sorry, an error has "
                                 "occured ! (ERR_ABORT)\nsummary: nothing flashed: the main operation did not run\n"
                                 "result: ERR_ABORT (3)\n"), std::string::npos) << program.Out();
}

}  // namespace
