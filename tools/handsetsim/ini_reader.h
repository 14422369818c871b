// A small INI reader that keeps line numbers, so that a scenario error can
// name the line. Sections and keys are lower-cased; ';' and '#' start
// comment lines, and a ';' after a blank ends a line early; blanks around
// names and values are trimmed.
#pragma once

#include <string>
#include <vector>

namespace handsetsim {

struct IniEntry {
    std::string section;
    std::string key;
    std::string value;
    int line = 0;
};

// False (and "FILE:LINE: reason") when the file cannot be read or a line is
// neither a section, a key, a comment nor blank.
bool ReadIni(const std::string& path, std::vector<IniEntry>* entries, std::string* error);

}  // namespace handsetsim
