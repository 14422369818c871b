// One notification of a job as flashcli reports it: the library's
// callbacks, and the summary and result flashcli adds at the end. Every
// output (JSON lines, plain lines, the bar, the handsets table, log files)
// is drawn from these records, and a parent flashcli reads them back from
// the JSON lines of its children.
#pragma once

#include <cstdint>
#include <string>

enum class EventKind { Message, Status, ProgressBegin, Progress, ProgressEnd, Summary, Result };

// A port of the main operation at its final speed.
struct PortSpeed {
    uint32_t com = 0;   // COM number, 1..64
    uint32_t baud = 0;
};

constexpr uint32_t kMaxJobPorts = 2;

// What the main operation of a job moved and how long it took.
struct JobSummary {
    uint32_t mode = 0;          // FLASH_MODE_...
    bool mainRan = false;       // false: the job ended before its main operation began
    uint64_t bytes = 0;         // image bytes programmed, verified or read, or file bytes written
    double seconds = 0;         // duration of the main operation
    PortSpeed ports[kMaxJobPorts];
    uint32_t portCount = 0;
};

struct Event {
    EventKind kind = EventKind::Message;
    double t = 0;               // seconds since flashcli started
    uint32_t level = 0;         // Message: 0 information, 1 warning, 2 error
    std::string text;           // Message and Status text; ProgressBegin title; Result name
    uint32_t total = 0;         // ProgressBegin
    uint32_t current = 0;       // Progress
    uint32_t percent = 0;       // Progress
    uint32_t code = 0;          // Result
    JobSummary summary;         // Summary
};

// Seconds since StartClock (a monotonic clock).
void StartClock();
double SecondsSinceStart();

// The event's name in JSON ("message", "progress_begin" ...), and back.
const char* EventKindName(EventKind kind);
bool EventKindFromName(const std::string& name, EventKind* kind);

Event MakeEvent(EventKind kind, double t);
Event MessageEvent(double t, uint32_t level, const std::string& text);
Event ResultEvent(double t, uint32_t code);  // text: the code's name
