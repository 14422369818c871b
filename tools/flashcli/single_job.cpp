#include "single_job.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "console_host.h"
#include "job_summary.h"
#include "output.h"
#include "platform.h"

namespace {

// The library reads these when a session starts (module directory) and when
// a port is opened (device of COM n).
bool ApplyEnvironment(const CliArgs& args) {
    for (const auto& [number, path] : args.ports) {
        const std::string name = "FLASHDLL_COM" + std::to_string(number);
        if (!SetEnvironment(name.c_str(), path.c_str())) return false;
    }
    return args.home.empty() || SetEnvironment("FLASHDLL_HOME", args.home.c_str());
}

// The fields the option string has no key for.
void ApplyHostFields(const CliArgs& args, FlashLoadOptions* options) {
    if (args.hasContentsFile) {
        std::memset(options->contentsfile, 0, sizeof options->contentsfile);
        std::memcpy(options->contentsfile, args.contentsFile.data(), args.contentsFile.size());
    }
    if (args.hasContentsMode) options->contentsmode = args.contentsMode;
    if (args.hasPollingVariant) options->pollingvariant = args.pollingVariant;
}

Output ChosenOutput(const CliArgs& args) {
    Output output;
    output.quiet = args.quiet;
    if (args.json) {
        output.style = OutputStyle::Json;
    } else if (StdoutIsTerminal()) {
        output.style = OutputStyle::Bar;
        const unsigned columns = TerminalColumns();
        if (columns > 0) output.columns = columns;
    }
    return output;
}

struct SingleJob {
    ConsoleHost host;
    Output output;
    JobTracker tracker;
    FlashLoadOptions options;  // 70 KB: the record lives on the heap with the job
};

void TrackAndShow(void* context, const Event& event) {
    SingleJob* job = static_cast<SingleJob*>(context);
    TrackEvent(&job->tracker, event);
    ShowEvent(&job->output, event);
}

// Parses the option string and runs the load; *loaded tells whether
// FlashLoad ran (and so a summary is due).
uint32_t ParseAndLoad(SingleJob* job, const CliArgs& args, bool* loaded) {
    uint32_t code = FlashInit(&job->host.descriptor, &job->options);
    if (code != SUCCESS) return code;
    ConsoleHostInstallCallbacks(&job->host);
    code = FlashParseOptionString(&job->host.descriptor, args.optionText.c_str(), nullptr, &job->options);
    if (code == SUCCESS) {
        ApplyHostFields(args, &job->options);
        StartTracking(&job->tracker, job->options.mode);
        code = FlashLoad(&job->host.descriptor, &job->options);
        *loaded = true;
    }
    FlashFinish(&job->host.descriptor);
    return code;
}

}  // namespace

uint32_t RunSingleJob(const CliArgs& args, const std::atomic<int>* abortRequested) {
    if (!ApplyEnvironment(args)) {
        std::fprintf(stderr, "flashcli: cannot set the environment\n");
        return ERR_SETUP;
    }
    auto job = std::make_unique<SingleJob>();
    job->output = ChosenOutput(args);
    ConsoleHostSetUp(&job->host, EventSink{TrackAndShow, job.get()}, abortRequested);
    bool loaded = false;
    const uint32_t code = ParseAndLoad(job.get(), args, &loaded);
    if (loaded) {
        Event summary;
        summary.kind = EventKind::Summary;
        summary.t = SecondsSinceStart();
        summary.summary = FinishTracking(&job->tracker, summary.t);
        ConsoleHostPost(&job->host, summary);
    }
    ConsoleHostPost(&job->host, ResultEvent(SecondsSinceStart(), code));
    CloseOutput(&job->output);
    return code;
}
