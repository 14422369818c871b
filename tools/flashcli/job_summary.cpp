#include "job_summary.h"

#include <cstdio>

#include "flashdll/flashdll.h"

namespace {

constexpr const char* kMainTitles[] = {"Loading Flash ...", "Verifying Flash ...", "Reading Flash ...",
                                       "Loading Files ..."};
// Shortest main operation the rate is taken over: guards the division.
constexpr double kMinSeconds = 0.001;
constexpr double kBytesPerKiB = 1024.0;

struct ModeWords {
    uint32_t mode;
    const char* name;      // option string keyword
    const char* verb;      // "flashed 96 KiB"
    const char* nothing;   // "nothing flashed"
};

constexpr ModeWords kModes[] = {
    {FLASH_MODE_FLASH, "flash", "flashed", "flashed"},
    {FLASH_MODE_VERIFY, "verify", "verified", "verified"},
    {FLASH_MODE_READ, "read", "read", "read"},
    {FLASH_MODE_FLASH_CONTENTS, "flash_contents", "flashed and wrote", "flashed or written"},
    {FLASH_MODE_CONTENTS, "contents", "wrote", "written"},
};

const ModeWords& WordsOf(uint32_t mode) {
    for (const ModeWords& words : kModes) {
        if (words.mode == mode) return words;
    }
    return kModes[0];
}

void CloseMainRun(JobTracker* tracker, double end) {
    if (!tracker->inMainRun) return;
    tracker->inMainRun = false;
    tracker->summary.mainRan = true;
    tracker->summary.bytes += tracker->runCurrent;
    tracker->summary.seconds += end > tracker->runBegin ? end - tracker->runBegin : 0;
}

void TrackPort(JobTracker* tracker, const std::string& text) {
    uint32_t index = 0;
    PortSpeed port;
    if (!ParseLogicalPort(text, &index, &port) || index >= kMaxJobPorts) return;
    JobSummary& summary = tracker->summary;
    if (index == 0) summary.portCount = 0;  // a new list of the ports in use
    summary.ports[index] = port;
    if (summary.portCount < index + 1) summary.portCount = index + 1;
}

std::string Format(const char* format, double value) {
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

std::string PortsText(const JobSummary& summary) {
    std::string text;
    for (uint32_t i = 0; i < summary.portCount; ++i) {
        if (i > 0) text += " and ";
        text += "COM" + std::to_string(summary.ports[i].com) + " at " + std::to_string(summary.ports[i].baud) +
                " baud";
    }
    return text;
}

// Tenths of a second, hundredths below one second: a difference-mode
// reflash takes a fraction of a second and still shows its time.
std::string SecondsText(double seconds) { return Format(seconds < 1.0 ? "%.2f" : "%.1f", seconds); }

}  // namespace

bool IsMainOperationTitle(const std::string& title) {
    for (const char* main : kMainTitles) {
        if (title == main) return true;
    }
    return false;
}

bool ParseLogicalPort(const std::string& text, uint32_t* index, PortSpeed* port) {
    unsigned logical = 0, com = 0, uart = 0;
    unsigned long baud = 0;
    int consumed = 0;
    if (std::sscanf(text.c_str(), "Logical port %u: COM%u <-> UART%u at %lu baud%n", &logical, &com, &uart, &baud,
                    &consumed) != 4 || consumed == 0) {
        return false;
    }
    *index = logical;
    port->com = com;
    port->baud = static_cast<uint32_t>(baud);
    return true;
}

void StartTracking(JobTracker* tracker, uint32_t mode) {
    *tracker = JobTracker();
    tracker->summary.mode = mode;
}

void TrackEvent(JobTracker* tracker, const Event& event) {
    switch (event.kind) {
        case EventKind::Message:
            if (event.level == FLASH_LEVEL_INFO) TrackPort(tracker, event.text);
            break;
        case EventKind::ProgressBegin:
            CloseMainRun(tracker, event.t);
            if (IsMainOperationTitle(event.text)) {
                tracker->inMainRun = true;
                tracker->runBegin = event.t;
                tracker->runCurrent = 0;
            }
            break;
        case EventKind::Progress:
            if (tracker->inMainRun) tracker->runCurrent = event.current;
            break;
        case EventKind::ProgressEnd:
            CloseMainRun(tracker, event.t);
            break;
        default:
            break;
    }
}

JobSummary FinishTracking(JobTracker* tracker, double now) {
    CloseMainRun(tracker, now);
    return tracker->summary;
}

double BytesPerSecond(const JobSummary& summary) {
    const double seconds = summary.seconds > kMinSeconds ? summary.seconds : kMinSeconds;
    return static_cast<double>(summary.bytes) / seconds;
}

double LineCeilingBytesPerSecond(const JobSummary& summary) {
    double ceiling = 0;
    for (uint32_t i = 0; i < summary.portCount; ++i) ceiling += summary.ports[i].baud / double(kLineBitsPerByte);
    return ceiling;
}

double LineSharePercent(const JobSummary& summary) {
    const double ceiling = LineCeilingBytesPerSecond(summary);
    return ceiling > 0 ? BytesPerSecond(summary) * 100.0 / ceiling : 0;
}

const char* ModeName(uint32_t mode) { return WordsOf(mode).name; }

bool ModeFromName(const std::string& name, uint32_t* mode) {
    for (const ModeWords& words : kModes) {
        if (name == words.name) {
            *mode = words.mode;
            return true;
        }
    }
    return false;
}

std::string SizeText(uint64_t bytes) {
    if (bytes < 1024) return std::to_string(bytes) + " bytes";
    const bool mebibytes = bytes >= 1024 * 1024;
    const uint64_t unit = mebibytes ? 1024 * 1024 : 1024;
    const char* name = mebibytes ? " MiB" : " KiB";
    if (bytes % unit == 0) return std::to_string(bytes / unit) + name;
    return Format("%.1f", static_cast<double>(bytes) / static_cast<double>(unit)) + name;
}

std::string SummaryLine(const JobSummary& summary) {
    const ModeWords& words = WordsOf(summary.mode);
    if (!summary.mainRan) {
        return std::string("summary: nothing ") + words.nothing + ": the main operation did not run";
    }
    const std::string rate = Format("%.1f", BytesPerSecond(summary) / kBytesPerKiB);
    std::string line = std::string("summary: ") + words.verb + " " + SizeText(summary.bytes) + " in " +
                       SecondsText(summary.seconds) + " s, " + rate + " KiB/s";
    if (summary.portCount == 0) return line;
    return line + " over " + PortsText(summary) + ": " + Format("%.0f", LineSharePercent(summary)) + "% of the line";
}
