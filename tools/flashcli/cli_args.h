// flashcli's command line: its own flags and the option words that make up
// the library's option string.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

struct CliArgs {
    std::vector<std::pair<unsigned, std::string>> ports;  // COM number, device path
    std::string home;                                     // empty: not given
    std::string contentsFile;
    bool hasContentsFile = false;
    uint32_t contentsMode = 0;
    bool hasContentsMode = false;
    uint32_t pollingVariant = 0;
    bool hasPollingVariant = false;
    bool json = false;      // --json: events as JSON lines
    bool quiet = false;     // -q: warnings, errors, summary and result only
    bool verbose = false;   // -v: the library's log lines too (/debug=1)
    std::string handsetsFile;  // --handsets: one job per handset listed there
    std::string logDir;        // --log-dir: a full log per handset
    bool help = false;
    bool version = false;
    std::vector<std::string> optionWords;  // the OPTION words as given
    std::string optionText;                // ... joined by blanks, with /debug=1 for -v
};

// Reads argv[1..]. False with a one-line reason in `error` for an unknown
// flag, a flag without its value, a bad value, flags that exclude each
// other, or no OPTION at all.
bool ParseCliArgs(int argc, char** argv, CliArgs* args, std::string* error);

// The --help text.
const char* UsageText();
