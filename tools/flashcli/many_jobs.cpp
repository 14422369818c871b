#include "many_jobs.h"

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "console_host.h"
#include "flashdll/flashdll.h"
#include "handset_table.h"
#include "handsets_file.h"
#include "json_event.h"
#include "output.h"
#include "platform.h"

namespace {

constexpr uint32_t kPollIntervalMs = 50;
constexpr double kRedrawIntervalSeconds = 0.1;
// A child's line longer than this is not one of its events.
constexpr size_t kMaxEventLineBytes = 64 * 1024;
constexpr size_t kShownGarbageBytes = 200;

struct HandsetJob {
    HandsetLine line;
    HandsetRow row;
    Output screen;                 // stdout: prefixed lines or JSON (not the live table)
    Output log;                    // DIR/NAME.log
    std::FILE* logFile = nullptr;
    bool hasResult = false;
    uint32_t code = ERR_UNKNOWN;
    double offset = 0;             // flashcli's time when the child started: its t = 0
};

struct Station {
    std::vector<HandsetJob> jobs;
    std::vector<ChildProcess> children;  // one per job, in file order
    std::vector<std::string> pending;    // output not yet split into lines
    bool liveTable = false;              // a terminal without --json
    unsigned columns = 0;
    bool tableDrawn = false, tableChanged = false;
    double lastDrawn = 0;
};

// ---- Before anything starts ---------------------------------------------------

void Collect(void* context, const Event& event) { static_cast<std::vector<Event>*>(context)->push_back(event); }

// Parses the option string once here, so that a refused one is reported once.
bool OptionStringAccepted(const CliArgs& args) {
    auto host = std::make_unique<ConsoleHost>();
    auto options = std::make_unique<FlashLoadOptions>();
    std::vector<Event> messages;
    ConsoleHostSetUp(host.get(), EventSink{Collect, &messages}, nullptr);
    uint32_t code = FlashInit(&host->descriptor, options.get());
    if (code == SUCCESS) {
        ConsoleHostInstallCallbacks(host.get());
        code = FlashParseOptionString(&host->descriptor, args.optionText.c_str(), nullptr, options.get());
        FlashFinish(&host->descriptor);
    }
    if (code == SUCCESS) return true;
    std::fprintf(stderr, "flashcli: the option string is refused:\n");
    for (const Event& message : messages) std::fprintf(stderr, "%s\n", EventLineText(message).c_str());
    return false;
}

void CloseLogs(std::vector<HandsetJob>* jobs) {
    for (HandsetJob& job : *jobs) {
        if (job.logFile != nullptr) std::fclose(job.logFile);
        job.logFile = nullptr;
    }
}

bool OpenLogs(const std::string& dir, std::vector<HandsetJob>* jobs) {
    std::error_code failure;
    std::filesystem::create_directories(dir, failure);  // an existing folder is no failure
    for (HandsetJob& job : *jobs) {
        const std::string path = (std::filesystem::path(dir) / (job.line.name + ".log")).string();
        job.logFile = std::fopen(path.c_str(), "w");
        if (job.logFile == nullptr) {
            std::fprintf(stderr, "flashcli: %s cannot be written\n", path.c_str());
            CloseLogs(jobs);
            return false;
        }
        job.log.file = job.logFile;
    }
    return true;
}

std::vector<std::string> ChildArgs(const CliArgs& args, const HandsetLine& line) {
    std::vector<std::string> child = {"--json"};
    // The log needs the log lines; the screen shows them too then, unless -q.
    if (args.verbose || !args.logDir.empty()) child.push_back("-v");
    if (!args.home.empty()) child.insert(child.end(), {"--home", args.home});
    if (args.hasContentsFile) child.insert(child.end(), {"--contents", args.contentsFile});
    if (args.hasContentsMode) child.insert(child.end(), {"--contents-mode", std::to_string(args.contentsMode)});
    if (args.hasPollingVariant) {
        child.insert(child.end(), {"--polling-variant", std::to_string(args.pollingVariant)});
    }
    child.insert(child.end(), {"--port", "1=" + line.com1});
    if (!line.com2.empty()) child.insert(child.end(), {"--port", "2=" + line.com2});
    child.push_back("--");
    child.insert(child.end(), args.optionWords.begin(), args.optionWords.end());
    return child;
}

void SetUpJob(const CliArgs& args, HandsetJob* job) {
    job->row.name = job->line.name;
    job->screen.quiet = args.quiet;
    if (args.json) {
        job->screen.style = OutputStyle::Json;
        job->screen.thinOut = false;  // the child thinned its progress out already
    }
    job->screen.handset = job->line.name;
}

// ---- While the jobs run -------------------------------------------------------

void Route(Station* station, HandsetJob* job, const Event& event) {
    UpdateRow(&job->row, event);
    station->tableChanged = true;
    if (!station->liveTable) ShowEvent(&job->screen, event);
    if (job->logFile != nullptr) ShowEvent(&job->log, event);
    if (event.kind == EventKind::Result) {
        job->hasResult = true;
        job->code = event.code;
    }
}

void RouteLine(Station* station, HandsetJob* job, const std::string& line) {
    Event event;
    std::string handset;
    if (ReadJsonLine(line, &event, &handset)) {
        event.t += job->offset;
        Route(station, job, event);
    } else {
        Route(station, job, MessageEvent(SecondsSinceStart(), FLASH_LEVEL_WARNING,
                                         "unreadable output of the job: " + line.substr(0, kShownGarbageBytes)));
    }
}

// A child on Windows writes its stdout in text mode: its lines end in CR LF.
void SplitLines(Station* station, size_t index) {
    std::string& pending = station->pending[index];
    size_t start = 0;
    for (size_t end = pending.find('\n'); end != std::string::npos; end = pending.find('\n', start)) {
        const size_t length = end > start && pending[end - 1] == '\r' ? end - start - 1 : end - start;
        RouteLine(station, &station->jobs[index], pending.substr(start, length));
        start = end + 1;
    }
    pending.erase(0, start);
    if (pending.size() > kMaxEventLineBytes) {
        RouteLine(station, &station->jobs[index], pending);
        pending.clear();
    }
}

// The child's output has ended: collect its exit and make sure its job has a result.
void FinishJob(Station* station, size_t index, bool stopRequested) {
    HandsetJob& job = station->jobs[index];
    if (!station->pending[index].empty()) RouteLine(station, &job, station->pending[index]);
    station->pending[index].clear();
    const int status = WaitChild(&station->children[index]);
    if (job.hasResult) return;
    // Ended by a signal: Ctrl-C reached it before it could abort its job itself.
    const uint32_t signalled = stopRequested ? ERR_ABORT : ERR_UNKNOWN;
    const uint32_t code = status >= 0 ? static_cast<uint32_t>(status) : signalled;
    const double now = SecondsSinceStart();
    Route(station, &job, MessageEvent(now, FLASH_LEVEL_ERROR, "the job ended without a result"));
    Route(station, &job, ResultEvent(now, code));
}

// A job that cannot start gets its result at once: ERR_ABORT after Ctrl-C, ERR_SETUP otherwise.
void StartJobs(Station* station, const std::string& program, const CliArgs& args,
               const std::atomic<int>* stopRequested) {
    for (size_t i = 0; i < station->jobs.size(); ++i) {
        HandsetJob& job = station->jobs[i];
        job.offset = SecondsSinceStart();
        job.row.started = job.offset;
        const bool stopped = stopRequested != nullptr && stopRequested->load() != 0;
        if (!stopped && StartChild(program, ChildArgs(args, job.line), &station->children[i])) continue;
        const char* why = stopped ? "the job was stopped before it started" : "the job cannot be started";
        Route(station, &job, MessageEvent(job.offset, FLASH_LEVEL_ERROR, why));
        Route(station, &job, ResultEvent(job.offset, stopped ? ERR_ABORT : ERR_SETUP));
    }
}

void DrawLiveTable(Station* station, bool force) {
    const double now = SecondsSinceStart();
    if (!station->liveTable || !station->tableChanged) return;
    if (!force && now - station->lastDrawn < kRedrawIntervalSeconds) return;
    std::vector<HandsetRow> rows;
    for (const HandsetJob& job : station->jobs) rows.push_back(job.row);
    const size_t linesUp = station->tableDrawn ? rows.size() + 1 : 0;
    std::fputs(RedrawnTableText(rows, station->columns, linesUp).c_str(), stdout);
    std::fflush(stdout);
    station->tableDrawn = true;
    station->tableChanged = false;
    station->lastDrawn = now;
}

bool AnyRunning(const Station& station) {
    for (const ChildProcess& child : station.children) {
        if (child.id > 0) return true;
    }
    return false;
}

void RunUntilDone(Station* station, const std::atomic<int>* stopRequested) {
    bool stopPassedOn = false;
    while (AnyRunning(*station)) {
        const bool stop = stopRequested != nullptr && stopRequested->load() != 0;
        if (stop && !stopPassedOn) {
            for (const ChildProcess& child : station->children) InterruptChild(child);
            stopPassedOn = true;
        }
        ReadChildOutputs(station->children.data(), station->pending.data(), station->children.size(),
                         kPollIntervalMs, kMaxEventLineBytes);
        for (size_t i = 0; i < station->children.size(); ++i) {
            SplitLines(station, i);
            if (station->children[i].outputEnded && station->children[i].id > 0) FinishJob(station, i, stop);
        }
        DrawLiveTable(station, false);
    }
}

// ---- At the end ------------------------------------------------------------------

uint32_t FinishStation(Station* station, const CliArgs& args) {
    std::vector<HandsetRow> rows;
    uint32_t code = SUCCESS;
    for (HandsetJob& job : station->jobs) {
        rows.push_back(job.row);
        if (code == SUCCESS) code = job.code;
        CloseOutput(&job.screen);
    }
    CloseLogs(&station->jobs);
    station->tableChanged = true;
    if (station->liveTable) {
        DrawLiveTable(station, true);
    } else if (!args.json) {
        std::fputs(TableText(rows, 0).c_str(), stdout);
    }
    std::fflush(stdout);
    return code;
}

}  // namespace

uint32_t RunManyJobs(const CliArgs& args, const char* argv0, const std::atomic<int>* stopRequested) {
    std::vector<HandsetLine> lines;
    std::string error;
    const uint32_t readCode = ReadHandsetsFile(args.handsetsFile, &lines, &error);
    if (readCode != SUCCESS) {
        std::fprintf(stderr, "flashcli: %s\n", error.c_str());
        return readCode;
    }
    if (!OptionStringAccepted(args)) return ERR_BAD_CMDLINE;
    Station station;
    station.liveTable = !args.json && StdoutIsTerminal();
    station.columns = station.liveTable ? TerminalColumns() : 0;
    station.jobs.resize(lines.size());
    station.children.resize(lines.size());
    station.pending.resize(lines.size());
    for (size_t i = 0; i < lines.size(); ++i) {
        station.jobs[i].line = lines[i];
        SetUpJob(args, &station.jobs[i]);
    }
    if (!args.logDir.empty() && !OpenLogs(args.logDir, &station.jobs)) return ERR_FILEIO;
    StartJobs(&station, OwnProgramPath(argv0), args, stopRequested);
    RunUntilDone(&station, stopRequested);
    return FinishStation(&station, args);
}
