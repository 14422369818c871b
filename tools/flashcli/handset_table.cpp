#include "handset_table.h"

#include <cstdio>

#include "job_summary.h"

namespace {

constexpr double kBytesPerKiB = 1024.0;
// A rate over the first moments of a run says little.
constexpr double kRateAfterSeconds = 0.5;
constexpr int kPhaseWidth = 24;
constexpr int kResultWidth = 24;

// "Loading Flash ..." -> "Loading Flash"
std::string PhaseOf(const std::string& title) {
    const size_t end = title.find_last_not_of(" .");
    return end == std::string::npos ? title : title.substr(0, end + 1);
}

std::string Line(size_t nameWidth, const std::string& name, const std::string& phase, const std::string& done,
                 const std::string& rate, const std::string& result, const std::string& time) {
    char line[512];
    std::snprintf(line, sizeof line, "%-*s  %-*s %4s %12s  %-*s %8s", static_cast<int>(nameWidth), name.c_str(),
                  kPhaseWidth, phase.c_str(), done.c_str(), rate.c_str(), kResultWidth, result.c_str(), time.c_str());
    std::string text = line;
    return text.substr(0, text.find_last_not_of(' ') + 1);
}

std::string RowLine(const HandsetRow& row, size_t nameWidth) {
    char rate[32] = "", time[32];
    if (row.kibPerSecond >= 0) std::snprintf(rate, sizeof rate, "%.1f KiB/s", row.kibPerSecond);
    std::snprintf(time, sizeof time, "%.1f s", row.seconds);
    const std::string done = row.hasPercent ? std::to_string(row.percent) + "%" : "";
    return Line(nameWidth, row.name, PhaseOf(row.phase), done, rate, row.result, time);
}

std::string Cut(const std::string& line, unsigned columns) {
    return columns > 1 && line.size() >= columns ? line.substr(0, columns - 1) : line;
}

std::vector<std::string> TableLines(const std::vector<HandsetRow>& rows) {
    size_t nameWidth = 7;  // "handset"
    for (const HandsetRow& row : rows) nameWidth = row.name.size() > nameWidth ? row.name.size() : nameWidth;
    std::vector<std::string> lines = {Line(nameWidth, "handset", "phase", "done", "rate", "result", "time")};
    for (const HandsetRow& row : rows) lines.push_back(RowLine(row, nameWidth));
    return lines;
}

}  // namespace

void UpdateRow(HandsetRow* row, const Event& event) {
    row->seconds = event.t - row->started;
    switch (event.kind) {
        case EventKind::ProgressBegin:
            row->phase = event.text;
            row->percent = 0;
            row->hasPercent = true;
            row->inMainRun = IsMainOperationTitle(event.text);
            row->runBegin = event.t;
            break;
        case EventKind::Progress:
            row->percent = event.percent;
            if (row->inMainRun && event.t - row->runBegin >= kRateAfterSeconds) {
                row->kibPerSecond = event.current / (event.t - row->runBegin) / kBytesPerKiB;
            }
            break;
        case EventKind::ProgressEnd:
            row->inMainRun = false;
            break;
        case EventKind::Summary:
            if (event.summary.mainRan) row->kibPerSecond = BytesPerSecond(event.summary) / kBytesPerKiB;
            break;
        case EventKind::Result:
            row->result = event.text;
            break;
        default:
            break;
    }
}

std::string TableText(const std::vector<HandsetRow>& rows, unsigned columns) {
    std::string text;
    for (const std::string& line : TableLines(rows)) text += Cut(line, columns) + "\n";
    return text;
}

std::string RedrawnTableText(const std::vector<HandsetRow>& rows, unsigned columns, size_t linesUp) {
    std::string text = linesUp > 0 ? "\x1b[" + std::to_string(linesUp) + "A" : "";
    for (const std::string& line : TableLines(rows)) text += "\r\x1b[2K" + Cut(line, columns) + "\n";
    return text;
}
