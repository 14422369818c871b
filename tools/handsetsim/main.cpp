// handsetsim: runs a stand-in handset from a scenario file until SIGINT or
// SIGTERM (or, with --until-eof, until standard input ends), then saves the
// flash file and prints the handset's report.
//
//   handsetsim [--flash-file F] [--files-dir D] [--report F] [--until-eof] SCENARIO.ini
//
// On start it prints "UART0 /dev/pts/N" (and "UART1 ...") on standard output.
#include <atomic>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <string>

#include <poll.h>
#include <unistd.h>

#include "tools/handsetsim/handsetsim.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kWaitSliceMs = 100;

volatile std::sig_atomic_t gStopRequested = 0;

void OnSignal(int) {
    gStopRequested = 1;
}

struct Arguments {
    std::string scenario, flashFile, filesDir, report;
    bool untilEof = false;
};

void Usage() {
    std::fprintf(stderr,
                 "usage: handsetsim [--flash-file F] [--files-dir D] [--report F] [--until-eof] "
                 "SCENARIO.ini\n");
}

bool ParseArguments(int argc, char** argv, Arguments* args) {
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        bool hasValue = i + 1 < argc;
        if (arg == "--until-eof") {
            args->untilEof = true;
        } else if (arg == "--flash-file" && hasValue) {
            args->flashFile = argv[++i];
        } else if (arg == "--files-dir" && hasValue) {
            args->filesDir = argv[++i];
        } else if (arg == "--report" && hasValue) {
            args->report = argv[++i];
        } else if (!arg.empty() && arg[0] != '-' && args->scenario.empty()) {
            args->scenario = arg;
        } else {
            return false;
        }
    }
    return !args->scenario.empty();
}

// True when standard input has reached its end (or is broken).
bool InputEnded() {
    pollfd fd{STDIN_FILENO, POLLIN, 0};
    if (poll(&fd, 1, 0) <= 0) {
        return false;
    }
    char buffer[256];
    return read(STDIN_FILENO, buffer, sizeof buffer) <= 0;
}

void WaitForEnd(bool untilEof) {
    while (!gStopRequested && !(untilEof && InputEnded())) {
        poll(nullptr, 0, kWaitSliceMs);
    }
}

bool WriteReport(const std::string& path, const std::string& report) {
    if (path.empty()) {
        std::fputs(report.c_str(), stdout);
        return true;
    }
    std::ofstream out(path, std::ios::trunc);
    out << report;
    return static_cast<bool>(out);
}

}  // namespace

int main(int argc, char** argv) {
    Arguments args;
    if (!ParseArguments(argc, argv, &args)) {
        Usage();
        return kExitUsage;
    }
    handsetsim::Scenario scenario;
    std::string error;
    if (!handsetsim::LoadScenario(args.scenario, &scenario, &error)) {
        std::fprintf(stderr, "handsetsim: %s\n", error.c_str());
        return kExitFailed;
    }
    if (!args.flashFile.empty()) scenario.flashFile = args.flashFile;
    if (!args.filesDir.empty()) scenario.filesFolder = args.filesDir;

    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
    auto handset = handsetsim::Handset::Start(scenario, &error);
    if (!handset) {
        std::fprintf(stderr, "handsetsim: %s\n", error.c_str());
        return kExitFailed;
    }
    for (uint32_t uart = 0; uart < scenario.uartCount; ++uart) {
        std::printf("UART%u %s\n", uart, handset->UartPath(uart).c_str());
    }
    std::fflush(stdout);

    WaitForEnd(args.untilEof);
    handset->Stop();
    if (!WriteReport(args.report, handset->Report())) {
        std::fprintf(stderr, "handsetsim: cannot write %s\n", args.report.c_str());
        return kExitFailed;
    }
    return kExitOk;
}
