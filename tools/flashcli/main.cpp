// flashcli: runs one job of the library from the command line and exits
// with its error code. See UsageText() for the command line.
#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "cli_args.h"
#include "console_host.h"
#include "flashdll/flashdll.h"
#include "system.h"

namespace {

// Set by Ctrl-C or a termination request; OnPollAbort hands it to the job.
std::atomic<int> g_abortRequested{0};

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

void ReportFailure(uint32_t code) {
    char name[FLASH_ERROR_NAME_SIZE];
    FlashGetErrorString(code, name);
    std::fprintf(stderr, "flashcli: %s (%u)\n", name, code);
}

uint32_t RunJob(ConsoleHost* host, const CliArgs& args, FlashLoadOptions* options) {
    uint32_t code = FlashInit(&host->descriptor, options);
    if (code != SUCCESS) return code;
    ConsoleHostInstallCallbacks(host);
    code = FlashParseOptionString(&host->descriptor, args.optionText.c_str(), nullptr, options);
    if (code == SUCCESS) {
        ApplyHostFields(args, options);
        code = FlashLoad(&host->descriptor, options);
    }
    ConsoleHostClose(host);
    FlashFinish(&host->descriptor);
    return code;
}

}  // namespace

int main(int argc, char** argv) {
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
    if (!ApplyEnvironment(args)) {
        std::fprintf(stderr, "flashcli: cannot set the environment\n");
        return ERR_SETUP;
    }
    InstallStopHandlers(&g_abortRequested);

    auto host = std::make_unique<ConsoleHost>();
    ConsoleHostSetUp(host.get(), stdout, StdoutIsTerminal(), &g_abortRequested);
    auto options = std::make_unique<FlashLoadOptions>();  // 70 KB: not on the stack
    const uint32_t code = RunJob(host.get(), args, options.get());
    if (code != SUCCESS) ReportFailure(code);
    return static_cast<int>(code);
}
