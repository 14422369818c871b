#include "json_event.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <vector>

#include "job_summary.h"

namespace {

// ---- Writing -----------------------------------------------------------------

// Length of the UTF-8 sequence starting at text[i], or 0 when it is not one.
size_t Utf8SequenceLength(const std::string& text, size_t i) {
    const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(i);
    const size_t length = lead >= 0xF0 && lead <= 0xF4 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC2 && lead < 0xE0 ? 2 : 0;
    if (length == 0 || i + length > text.size()) return 0;
    for (size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) return 0;
    }
    // Overlong three- and four-byte forms, surrogates and code points past U+10FFFF.
    if (lead == 0xE0 && byte(i + 1) < 0xA0) return 0;
    if (lead == 0xED && byte(i + 1) >= 0xA0) return 0;
    if (lead == 0xF0 && byte(i + 1) < 0x90) return 0;
    if (lead == 0xF4 && byte(i + 1) >= 0x90) return 0;
    return length;
}

void AppendEscaped(std::string* out, unsigned code) {
    char escape[8];
    std::snprintf(escape, sizeof escape, "\\u%04x", code);
    *out += escape;
}

std::string Quoted(const std::string& text) {
    std::string out = "\"";
    for (size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c < 0x20 || c == 0x7F) {
            AppendEscaped(&out, c);
        } else if (c >= 0x80) {
            const size_t length = Utf8SequenceLength(text, i);
            if (length == 0) {
                AppendEscaped(&out, c);  // taken as the Latin-1 character
            } else {
                out.append(text, i, length);
                i += length;
                continue;
            }
        } else {
            out += static_cast<char>(c);
        }
        ++i;
    }
    return out + "\"";
}

std::string Fixed(double value, int decimals) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

struct Members {
    std::string text;
    void Add(const char* name, const std::string& json) { text += std::string(",\"") + name + "\":" + json; }
    void Add(const char* name, uint64_t number) { Add(name, std::to_string(number)); }
};

std::string PortsJson(const JobSummary& summary) {
    std::string json = "[";
    for (uint32_t i = 0; i < summary.portCount; ++i) {
        if (i > 0) json += ",";
        json += "{\"com\":" + std::to_string(summary.ports[i].com) + ",\"baud\":" +
                std::to_string(summary.ports[i].baud) + "}";
    }
    return json + "]";
}

void AddSummary(Members* members, const JobSummary& summary) {
    members->Add("mode", Quoted(ModeName(summary.mode)));
    members->Add("bytes", summary.bytes);
    members->Add("seconds", Fixed(summary.seconds, 3));
    const bool share = summary.mainRan && summary.portCount > 0;
    members->Add("bytes_per_second", summary.mainRan ? Fixed(BytesPerSecond(summary), 1) : "null");
    members->Add("line_share", share ? Fixed(LineSharePercent(summary), 1) : "null");
    members->Add("ports", PortsJson(summary));
}

void AddKindMembers(Members* members, const Event& event) {
    switch (event.kind) {
        case EventKind::Message:
            members->Add("level", event.level);
            members->Add("text", Quoted(event.text));
            break;
        case EventKind::Status:
            members->Add("text", Quoted(event.text));
            break;
        case EventKind::ProgressBegin:
            members->Add("title", Quoted(event.text));
            members->Add("total", event.total);
            break;
        case EventKind::Progress:
            members->Add("current", event.current);
            members->Add("percent", event.percent);
            break;
        case EventKind::ProgressEnd:
            break;
        case EventKind::Summary:
            AddSummary(members, event.summary);
            break;
        case EventKind::Result:
            members->Add("code", event.code);
            members->Add("name", Quoted(event.text));
            break;
    }
}

// ---- Reading -----------------------------------------------------------------

// A member value of the event objects: a number, a text, null, or the port list.
struct Value {
    enum Type { Number, Text, Null, Ports } type = Null;
    double number = 0;
    std::string text;
    JobSummary ports;  // only ports and portCount
};

struct Cursor {
    const std::string& line;
    size_t at = 0;
    void SkipBlanks() {
        while (at < line.size() && (line[at] == ' ' || line[at] == '\t')) ++at;
    }
    bool Take(char c) {
        SkipBlanks();
        if (at >= line.size() || line[at] != c) return false;
        ++at;
        return true;
    }
    bool Ahead(char c) {
        SkipBlanks();
        return at < line.size() && line[at] == c;
    }
};

void AppendUtf8(std::string* out, unsigned code) {
    if (code < 0x80) {
        *out += static_cast<char>(code);
    } else if (code < 0x800) {
        *out += static_cast<char>(0xC0 | (code >> 6));
        *out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        *out += static_cast<char>(0xE0 | (code >> 12));
        *out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        *out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

bool ReadHexEscape(Cursor* cursor, std::string* out) {
    if (cursor->at + 4 > cursor->line.size()) return false;
    unsigned code = 0;
    for (int k = 0; k < 4; ++k) {
        const char c = cursor->line[cursor->at++];
        const int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10
                          : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
        if (digit < 0) return false;
        code = code * 16 + static_cast<unsigned>(digit);
    }
    if (code >= 0xD800 && code <= 0xDFFF) return false;  // never written: no surrogate pairs
    AppendUtf8(out, code);
    return true;
}

bool ReadString(Cursor* cursor, std::string* out) {
    if (!cursor->Take('"')) return false;
    const std::string& line = cursor->line;
    while (cursor->at < line.size()) {
        const char c = line[cursor->at++];
        if (c == '"') return true;
        if (static_cast<unsigned char>(c) < 0x20) return false;
        if (c != '\\') {
            *out += c;
            continue;
        }
        if (cursor->at >= line.size()) return false;
        const char escaped = line[cursor->at++];
        const char* simple = "\"\\/bfnrt";
        const char* meaning = "\"\\/\b\f\n\r\t";
        const char* found = escaped != '\0' ? std::strchr(simple, escaped) : nullptr;
        if (found != nullptr) {
            *out += meaning[found - simple];
        } else if (escaped != 'u' || !ReadHexEscape(cursor, out)) {
            return false;
        }
    }
    return false;
}

bool ReadNumber(Cursor* cursor, double* number) {
    cursor->SkipBlanks();
    const std::string& line = cursor->line;
    const size_t start = cursor->at;
    while (cursor->at < line.size() && std::strchr("+-.0123456789eE", line[cursor->at]) != nullptr) ++cursor->at;
    if (cursor->at == start) return false;
    const std::string text = line.substr(start, cursor->at - start);
    char* end = nullptr;
    *number = std::strtod(text.c_str(), &end);
    return *end == '\0' && std::isfinite(*number);
}

bool IsCount(double number, double limit) { return number >= 0 && number <= limit && number == std::floor(number); }

// [{"com":N,"baud":B},...]
bool ReadPorts(Cursor* cursor, JobSummary* ports) {
    if (!cursor->Take('[')) return false;
    if (cursor->Take(']')) return true;
    do {
        std::string com, baud;
        double comNumber = 0, baudNumber = 0;
        if (ports->portCount >= kMaxJobPorts || !cursor->Take('{') || !ReadString(cursor, &com) || com != "com" ||
            !cursor->Take(':') || !ReadNumber(cursor, &comNumber) || !cursor->Take(',') ||
            !ReadString(cursor, &baud) || baud != "baud" || !cursor->Take(':') || !ReadNumber(cursor, &baudNumber) ||
            !cursor->Take('}') || !IsCount(comNumber, 64) || !IsCount(baudNumber, UINT32_MAX)) {
            return false;
        }
        ports->ports[ports->portCount++] =
            PortSpeed{static_cast<uint32_t>(comNumber), static_cast<uint32_t>(baudNumber)};
    } while (cursor->Take(','));
    return cursor->Take(']');
}

bool ReadValue(Cursor* cursor, Value* value) {
    if (cursor->Ahead('"')) {
        value->type = Value::Text;
        return ReadString(cursor, &value->text);
    }
    if (cursor->Ahead('[')) {
        value->type = Value::Ports;
        return ReadPorts(cursor, &value->ports);
    }
    if (cursor->line.compare(cursor->at, 4, "null") == 0) {
        cursor->at += 4;
        value->type = Value::Null;
        return true;
    }
    value->type = Value::Number;
    return ReadNumber(cursor, &value->number);
}

using ValueMap = std::map<std::string, Value>;

bool ReadObject(const std::string& line, ValueMap* members) {
    Cursor cursor{line};
    if (!cursor.Take('{')) return false;
    if (!cursor.Take('}')) {
        do {
            std::string name;
            Value value;
            if (!ReadString(&cursor, &name) || !cursor.Take(':') || !ReadValue(&cursor, &value) ||
                members->count(name) != 0) {
                return false;
            }
            (*members)[name] = value;
        } while (cursor.Take(','));
        if (!cursor.Take('}')) return false;
    }
    cursor.SkipBlanks();
    return cursor.at == line.size();
}

// Takes the member `name` of `type` out of the map.
bool Take(ValueMap* members, const char* name, Value::Type type, Value* value) {
    const auto found = members->find(name);
    if (found == members->end() || found->second.type != type) return false;
    *value = found->second;
    members->erase(found);
    return true;
}

bool TakeCount(ValueMap* members, const char* name, double limit, uint64_t* count) {
    Value value;
    if (!Take(members, name, Value::Number, &value) || !IsCount(value.number, limit)) return false;
    *count = static_cast<uint64_t>(value.number);
    return true;
}

bool TakeU32(ValueMap* members, const char* name, uint32_t* number) {
    uint64_t count = 0;
    if (!TakeCount(members, name, UINT32_MAX, &count)) return false;
    *number = static_cast<uint32_t>(count);
    return true;
}

bool TakeText(ValueMap* members, const char* name, std::string* text) {
    Value value;
    if (!Take(members, name, Value::Text, &value)) return false;
    *text = value.text;
    return true;
}

// bytes_per_second and line_share are worked out again from the rest; null
// bytes_per_second means the main operation did not run.
bool TakeSummary(ValueMap* members, JobSummary* summary) {
    std::string mode;
    Value seconds, rate, share, ports;
    if (!TakeText(members, "mode", &mode) || !ModeFromName(mode, &summary->mode) ||
        !TakeCount(members, "bytes", 1e15, &summary->bytes) || !Take(members, "seconds", Value::Number, &seconds) ||
        !Take(members, "ports", Value::Ports, &ports)) {
        return false;
    }
    summary->seconds = seconds.number;
    summary->portCount = ports.ports.portCount;
    for (uint32_t i = 0; i < summary->portCount; ++i) summary->ports[i] = ports.ports.ports[i];
    summary->mainRan = Take(members, "bytes_per_second", Value::Number, &rate);
    if (!summary->mainRan && !Take(members, "bytes_per_second", Value::Null, &rate)) return false;
    return Take(members, "line_share", Value::Number, &share) || Take(members, "line_share", Value::Null, &share);
}

bool TakeKindMembers(ValueMap* members, Event* event) {
    switch (event->kind) {
        case EventKind::Message:
            return TakeU32(members, "level", &event->level) && TakeText(members, "text", &event->text);
        case EventKind::Status:
            return TakeText(members, "text", &event->text);
        case EventKind::ProgressBegin:
            return TakeText(members, "title", &event->text) && TakeU32(members, "total", &event->total);
        case EventKind::Progress:
            return TakeU32(members, "current", &event->current) && TakeU32(members, "percent", &event->percent);
        case EventKind::ProgressEnd:
            return true;
        case EventKind::Summary:
            return TakeSummary(members, &event->summary);
        case EventKind::Result:
            return TakeU32(members, "code", &event->code) && TakeText(members, "name", &event->text);
    }
    return false;
}

}  // namespace

std::string JsonLine(const Event& event, const std::string& handset) {
    Members members;
    members.text = "{\"t\":" + Fixed(event.t, 3);
    members.Add("event", Quoted(EventKindName(event.kind)));
    if (!handset.empty()) members.Add("handset", Quoted(handset));
    AddKindMembers(&members, event);
    return members.text + "}";
}

bool ReadJsonLine(const std::string& line, Event* event, std::string* handset) {
    ValueMap members;
    Value t;
    std::string kind;
    *event = Event();
    handset->clear();
    if (!ReadObject(line, &members) || !Take(&members, "t", Value::Number, &t) || !TakeText(&members, "event", &kind) ||
        !EventKindFromName(kind, &event->kind)) {
        return false;
    }
    event->t = t.number;
    if (members.count("handset") != 0 && !TakeText(&members, "handset", handset)) return false;
    return TakeKindMembers(&members, event) && members.empty();
}
