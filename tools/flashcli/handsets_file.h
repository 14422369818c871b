// The --handsets file: one handset a line, "NAME 1=PATH [2=PATH]", where
// 1= and 2= name the devices of that handset's COM1 and COM2. "#" starts a
// comment, blank lines are skipped. Names become log file names, so they
// keep to letters, digits, ".", "_" and "-" and do not start with ".".
#pragma once

#include <cstdint>
#include <string>
#include <vector>

constexpr size_t kMaxHandsets = 32;
constexpr size_t kMaxHandsetNameLength = 32;
constexpr size_t kMaxHandsetsFileBytes = 64 * 1024;

struct HandsetLine {
    std::string name;
    std::string com1, com2;  // device paths; com2 may be empty
    unsigned lineNumber = 0;
};

// Reads the lines of `text`; `fileName` only names the file in errors:
// "FILE:LINE: reason". Nothing is returned unless every line is good.
bool ParseHandsets(const std::string& text, const std::string& fileName, std::vector<HandsetLine>* handsets,
                   std::string* error);
// Reads the file and parses it: SUCCESS, ERR_FILEIO when it cannot be read
// (or is larger than 64 KiB), ERR_BAD_CMDLINE for a bad line.
uint32_t ReadHandsetsFile(const std::string& path, std::vector<HandsetLine>* handsets, std::string* error);
