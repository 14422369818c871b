// INI reading with the behaviour platform.def and flash.types are written
// for. Portable C++: the same code serves every system.
#include "flashdll/os/ini.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>

namespace os {

namespace {

// Removes blanks (and a CR of a CR LF line end) from both ends.
void Trim(std::string& text) {
    size_t begin = 0;
    while (begin < text.size() && std::isspace(static_cast<unsigned char>(text[begin]))) ++begin;
    size_t end = text.size();
    while (end > begin && std::isspace(static_cast<unsigned char>(text[end - 1]))) --end;
    text = text.substr(begin, end - begin);
}

bool SameName(const std::string& a, const char* b) {
    const size_t length = std::strlen(b);
    if (a.size() != length) return false;
    for (size_t i = 0; i < length; ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return true;
}

uint32_t CopyOut(const std::string& value, char* out, uint32_t size) {
    if (size == 0) return 0;
    const size_t length = value.size() < size - 1 ? value.size() : size - 1;
    std::memcpy(out, value.data(), length);
    out[length] = '\0';
    return static_cast<uint32_t>(length);
}

// Reads one line of any length; false at the end of the file.
bool ReadLine(std::FILE* file, std::string& line) {
    line.clear();
    char chunk[512];
    while (std::fgets(chunk, sizeof chunk, file) != nullptr) {
        line += chunk;
        if (!line.empty() && line.back() == '\n') return true;
    }
    return !line.empty();
}

// Finds the key's value in the first matching section; false when absent.
bool FindValue(std::FILE* file, const char* section, const char* key, std::string& value) {
    std::string line;
    bool inSection = false;
    while (ReadLine(file, line)) {
        Trim(line);
        if (line.empty() || line[0] == ';') continue;
        if (line[0] == '[') {
            if (inSection) return false;  // the first matching section ended
            const size_t close = line.find(']');
            std::string name = line.substr(1, close == std::string::npos ? std::string::npos : close - 1);
            Trim(name);
            inSection = SameName(name, section);
            continue;
        }
        if (!inSection) continue;
        const size_t equals = line.find('=');
        if (equals == std::string::npos) continue;
        std::string name = line.substr(0, equals);
        Trim(name);
        if (!SameName(name, key)) continue;
        value = line.substr(equals + 1);
        Trim(value);
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
            value = value.substr(1, value.size() - 2);
        }
        return true;
    }
    return false;
}

}  // namespace

uint32_t IniGetString(const char* path, const char* section, const char* key,
                      const char* defaultValue, char* out, uint32_t size) {
    const std::string fallback = defaultValue != nullptr ? defaultValue : "";
    std::FILE* file = std::fopen(path, "rb");
    if (file == nullptr) return CopyOut(fallback, out, size);
    std::string value;
    const bool found = FindValue(file, section, key, value);
    std::fclose(file);
    return CopyOut(found ? value : fallback, out, size);
}

}  // namespace os
