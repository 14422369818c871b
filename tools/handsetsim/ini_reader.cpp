#include "tools/handsetsim/ini_reader.h"

#include <algorithm>
#include <cctype>
#include <fstream>

namespace handsetsim {

namespace {

std::string Trim(const std::string& text) {
    size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos) {
        return "";
    }
    size_t last = text.find_last_not_of(" \t\r");
    return text.substr(first, last - first + 1);
}

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// A ';' after a blank starts a comment that runs to the end of the line.
std::string StripComment(const std::string& line) {
    for (size_t i = 1; i < line.size(); ++i) {
        if (line[i] == ';' && (line[i - 1] == ' ' || line[i - 1] == '\t')) {
            return line.substr(0, i);
        }
    }
    return line;
}

}  // namespace

bool ReadIni(const std::string& path, std::vector<IniEntry>* entries, std::string* error) {
    std::ifstream in(path);
    if (!in) {
        *error = path + ": cannot be read";
        return false;
    }
    std::string section;
    std::string raw;
    for (int number = 1; std::getline(in, raw); ++number) {
        std::string line = Trim(StripComment(raw));
        if (line.empty() || line[0] == ';' || line[0] == '#') {
            continue;
        }
        std::string where = path + ":" + std::to_string(number) + ": ";
        if (line[0] == '[') {
            if (line.back() != ']') {
                *error = where + "section name without ']'";
                return false;
            }
            section = Lower(Trim(line.substr(1, line.size() - 2)));
            continue;
        }
        size_t equals = line.find('=');
        if (equals == std::string::npos || section.empty()) {
            *error = where + (section.empty() ? "key before the first section" : "expected key = value");
            return false;
        }
        entries->push_back(IniEntry{section, Lower(Trim(line.substr(0, equals))),
                                    Trim(line.substr(equals + 1)), number});
    }
    return true;
}

}  // namespace handsetsim
