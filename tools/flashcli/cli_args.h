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
    bool help = false;
    std::string optionText;  // the OPTION words joined by blanks
};

// Reads argv[1..]. False with a one-line reason in `error` for an unknown
// flag, a flag without its value, a bad value, or no OPTION at all.
bool ParseCliArgs(int argc, char** argv, CliArgs* args, std::string* error);

// The --help text.
const char* UsageText();
