#include "handsets_file.h"

#include <fstream>
#include <sstream>

#include "flashdll/flashdll.h"

namespace {

bool IsNameCharacter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '_' ||
           c == '-';
}

const char* NameProblem(const std::string& name) {
    if (name.size() > kMaxHandsetNameLength) return "is longer than 32 characters";
    if (name[0] == '.') return "starts with '.'";
    for (char c : name) {
        if (!IsNameCharacter(c)) return "may hold only letters, digits, '.', '_' and '-'";
    }
    return nullptr;
}

// "1=PATH" or "2=PATH" into the line; an empty `problem` when it is good.
void TakePort(const std::string& word, HandsetLine* handset, std::string* problem) {
    std::string* target = word.compare(0, 2, "1=") == 0 ? &handset->com1
                          : word.compare(0, 2, "2=") == 0 ? &handset->com2 : nullptr;
    if (target == nullptr) {
        *problem = "'" + word + "' is not 1=PATH or 2=PATH";
    } else if (!target->empty()) {
        *problem = word.substr(0, 1) + "= is given twice";
    } else if (word.size() == 2) {
        *problem = word + " needs a device path";
    } else {
        *target = word.substr(2);
    }
}

// One line without its comment; false (and a problem) when it is bad.
bool ParseLine(const std::string& line, HandsetLine* handset, std::string* problem) {
    std::istringstream words(line);
    std::string word;
    words >> handset->name;
    const char* nameProblem = NameProblem(handset->name);
    if (nameProblem != nullptr) {
        *problem = "the name '" + handset->name + "' " + nameProblem;
        return false;
    }
    while (problem->empty() && words >> word) TakePort(word, handset, problem);
    if (problem->empty() && handset->com1.empty()) *problem = "1=PATH is missing";
    return problem->empty();
}

// A good line that does not fit the list: a name used before, one handset too many.
std::string ListProblem(const std::vector<HandsetLine>& found, const HandsetLine& handset) {
    for (const HandsetLine& earlier : found) {
        if (earlier.name == handset.name) {
            return "the name '" + handset.name + "' is used on line " + std::to_string(earlier.lineNumber) +
                   " already";
        }
    }
    return found.size() < kMaxHandsets ? "" : "more than 32 handsets";
}

bool IsBlank(const std::string& line) { return line.find_first_not_of(" \t\r") == std::string::npos; }

}  // namespace

bool ParseHandsets(const std::string& text, const std::string& fileName, std::vector<HandsetLine>* handsets,
                   std::string* error) {
    std::vector<HandsetLine> found;
    std::istringstream lines(text);
    std::string line;
    for (unsigned number = 1; std::getline(lines, line); ++number) {
        line = line.substr(0, line.find('#'));
        if (IsBlank(line)) continue;
        HandsetLine handset;
        handset.lineNumber = number;
        std::string problem;
        if (ParseLine(line, &handset, &problem)) problem = ListProblem(found, handset);
        if (!problem.empty()) {
            *error = fileName + ":" + std::to_string(number) + ": " + problem;
            return false;
        }
        found.push_back(handset);
    }
    if (found.empty()) {
        *error = fileName + ": no handset listed";
        return false;
    }
    *handsets = found;
    return true;
}

uint32_t ReadHandsetsFile(const std::string& path, std::vector<HandsetLine>* handsets, std::string* error) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        *error = path + ": cannot be read";
        return ERR_FILEIO;
    }
    std::string text(kMaxHandsetsFileBytes + 1, '\0');
    file.read(&text[0], static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<size_t>(file.gcount()));
    if (text.size() > kMaxHandsetsFileBytes) {
        *error = path + ": larger than 64 KiB";
        return ERR_FILEIO;
    }
    return ParseHandsets(text, path, handsets, error) ? SUCCESS : ERR_BAD_CMDLINE;
}
