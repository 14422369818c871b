// INI reading with the behaviour platform.def and flash.types are written
// for. Portable C++: the same code serves every system.
//
// The file is read once per lookup, in fixed chunks, and scanned line by
// line without copying lines that lie whole inside a chunk; a catalogue of a
// few thousand chips is looked up in well under a millisecond that way.
#include "flashdll/os/ini.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

namespace os {

namespace {

constexpr size_t kReadChunkBytes = 16384;
constexpr char kUtf8Bom[] = "\xEF\xBB\xBF";
constexpr size_t kUtf8BomBytes = 3;

// A stretch of characters: one line, or a part of one.
struct Text {
    const char* begin;
    size_t length;
};

bool IsBlank(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

// Removes blanks (and the CR of a CR LF line end) from both ends.
Text Trim(Text text) {
    while (text.length > 0 && IsBlank(text.begin[0])) {
        ++text.begin;
        --text.length;
    }
    while (text.length > 0 && IsBlank(text.begin[text.length - 1])) --text.length;
    return text;
}

bool SameName(Text a, const char* b) {
    if (a.length != std::strlen(b)) return false;
    for (size_t i = 0; i < a.length; ++i) {
        if (std::tolower(static_cast<unsigned char>(a.begin[i])) != std::tolower(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return true;
}

// Hands out the lines of a file (without their LF). A line that lies whole in
// the current chunk is handed out in place; one that spans chunks is
// gathered in `carry_`. Embedded NUL bytes are ordinary characters here.
class LineReader {
public:
    explicit LineReader(std::FILE* file) : file_(file), chunk_(new char[kReadChunkBytes]) {}

    bool Next(Text* line) {
        carry_.clear();
        for (;;) {
            if (begin_ == end_ && !Refill()) {
                if (carry_.empty()) return false;
                *line = Text{carry_.data(), carry_.size()};
                return true;
            }
            const char* start = chunk_.get() + begin_;
            const size_t available = end_ - begin_;
            const void* newline = std::memchr(start, '\n', available);
            if (newline == nullptr) {
                carry_.append(start, available);
                begin_ = end_;
                continue;
            }
            const size_t length = static_cast<const char*>(newline) - start;
            begin_ += length + 1;
            if (carry_.empty()) {
                *line = Text{start, length};
            } else {
                carry_.append(start, length);
                *line = Text{carry_.data(), carry_.size()};
            }
            return true;
        }
    }

private:
    bool Refill() {
        begin_ = 0;
        end_ = std::fread(chunk_.get(), 1, kReadChunkBytes, file_);
        return end_ > 0;
    }

    std::FILE* file_;
    std::unique_ptr<char[]> chunk_;
    size_t begin_ = 0;
    size_t end_ = 0;
    std::string carry_;
};

// The value of a key line with one pair of enclosing double quotes removed.
Text ValueOf(Text line, size_t equals) {
    Text value = Trim(Text{line.begin + equals + 1, line.length - equals - 1});
    if (value.length >= 2 && value.begin[0] == '"' && value.begin[value.length - 1] == '"') {
        value = Text{value.begin + 1, value.length - 2};
    }
    return value;
}

// Finds the key's value in the first matching section and copies it out
// (cut to fit); false when the section or the key is absent.
bool FindValue(std::FILE* file, const char* section, const char* key, std::string* value) {
    LineReader reader(file);
    Text line;
    bool inSection = false;
    bool firstLine = true;
    while (reader.Next(&line)) {
        if (firstLine && line.length >= kUtf8BomBytes && std::memcmp(line.begin, kUtf8Bom, kUtf8BomBytes) == 0) {
            line = Text{line.begin + kUtf8BomBytes, line.length - kUtf8BomBytes};
        }
        firstLine = false;
        line = Trim(line);
        if (line.length == 0 || line.begin[0] == ';') continue;
        if (line.begin[0] == '[') {
            if (inSection) return false;  // the first matching section ended
            const void* close = std::memchr(line.begin, ']', line.length);
            const size_t end = close != nullptr ? static_cast<const char*>(close) - line.begin : line.length;
            inSection = SameName(Trim(Text{line.begin + 1, end - 1}), section);
            continue;
        }
        if (!inSection) continue;
        const void* equals = std::memchr(line.begin, '=', line.length);
        if (equals == nullptr) continue;
        const size_t split = static_cast<const char*>(equals) - line.begin;
        if (!SameName(Trim(Text{line.begin, split}), key)) continue;
        const Text found = ValueOf(line, split);
        value->assign(found.begin, found.length);
        return true;
    }
    return false;
}

// Copies `value` into `out`, cut to size - 1 characters; a NUL inside the
// value ends the text there, as it would in any C string.
uint32_t CopyOut(const char* value, size_t length, char* out, uint32_t size) {
    if (out == nullptr || size == 0) return 0;
    const void* nul = std::memchr(value, '\0', length);
    if (nul != nullptr) length = static_cast<const char*>(nul) - value;
    if (length > size - 1) length = size - 1;
    std::memcpy(out, value, length);
    out[length] = '\0';
    return static_cast<uint32_t>(length);
}

}  // namespace

uint32_t IniGetString(const char* path, const char* section, const char* key,
                      const char* defaultValue, char* out, uint32_t size) {
    const char* fallback = defaultValue != nullptr ? defaultValue : "";
    if (path == nullptr || section == nullptr || key == nullptr) {
        return CopyOut(fallback, std::strlen(fallback), out, size);
    }
    std::FILE* file = std::fopen(path, "rb");
    if (file == nullptr) return CopyOut(fallback, std::strlen(fallback), out, size);
    std::string value;
    const bool found = FindValue(file, section, key, &value);
    std::fclose(file);
    if (!found) return CopyOut(fallback, std::strlen(fallback), out, size);
    return CopyOut(value.data(), value.size(), out, size);
}

}  // namespace os
