// flashcli: runs one job of the library from the command line, or the same
// job on several handsets at once, and exits with its error code. See
// UsageText() for the command line.
#include <atomic>
#include <cstdio>
#include <string>

#include "cli_args.h"
#include "event.h"
#include "flashdll/flashdll.h"
#include "many_jobs.h"
#include "platform.h"
#include "single_job.h"

namespace {

// Set by Ctrl-C or a termination request; OnPollAbort hands it to the job.
std::atomic<int> g_stopRequested{0};

}  // namespace

int main(int argc, char** argv) {
    StartClock();
    CliArgs args;
    std::string error;
    if (!ParseCliArgs(argc, argv, &args, &error)) {
        std::fprintf(stderr, "flashcli: %s\n\n%s", error.c_str(), UsageText());
        return ERR_BAD_CMDLINE;
    }
    if (args.help) {
        std::fputs(UsageText(), stdout);
        return 0;
    }
    if (args.version) {
        std::puts("flashcli " FLASHDLL_VERSION_STRING);
        return 0;
    }
    InstallStopHandlers(&g_stopRequested);
    const uint32_t code = args.handsetsFile.empty() ? RunSingleJob(args, &g_stopRequested)
                                                    : RunManyJobs(args, argv[0], &g_stopRequested);
    return static_cast<int>(code);
}
