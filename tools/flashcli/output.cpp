#include "output.h"

#include "flashdll/flashdll.h"
#include "job_summary.h"
#include "json_event.h"

namespace {

void WriteLine(Output* output, const std::string& line) {
    if (output->style == OutputStyle::Lines && !output->handset.empty()) {
        std::fprintf(output->file, "[%s] ", output->handset.c_str());
    }
    std::fprintf(output->file, "%s\n", line.c_str());
    std::fflush(output->file);
}

void EndBar(Output* output) {
    if (!output->barOpen) return;
    std::fputc('\n', output->file);
    output->barOpen = false;
}

void DrawBar(Output* output, const Event& update) {
    std::fprintf(output->file, "\r%s",
                 BarText(output->bar, update.current, update.percent, update.t, output->columns).c_str());
    std::fflush(output->file);
    output->barOpen = true;
}

void BeginRun(Output* output, const Event& begin) {
    ResetThrottle(&output->throttle);
    output->bar = BarState();
    output->bar.title = begin.text;
    output->bar.total = begin.total;
    output->bar.begin = begin.t;
    // Only the main operation's rate says something about the line; other
    // runs count S-record text or the boot ROM's 4-KiB blocks.
    output->bar.showRate = IsMainOperationTitle(begin.text);
    output->lastDecade = -1;
}

void ShowJson(Output* output, const Event& event) {
    if (output->thinOut && event.kind == EventKind::ProgressBegin) BeginRun(output, event);
    if (output->thinOut && event.kind == EventKind::Progress && !PassUpdate(&output->throttle, event)) return;
    Event held;
    if (output->thinOut && event.kind == EventKind::ProgressEnd && TakeHeldUpdate(&output->throttle, event.t, &held)) {
        std::fprintf(output->file, "%s\n", JsonLine(held, output->handset).c_str());
    }
    std::fprintf(output->file, "%s\n", JsonLine(event, output->handset).c_str());
    std::fflush(output->file);
}

void WriteProgressLine(Output* output, uint32_t percent) {
    output->lastDecade = static_cast<int>(percent / 10);
    WriteLine(output, "progress: " + output->bar.title + " " + std::to_string(percent) + "%");
}

// 0% when the run begins, then the first update of every further step of 10%.
void ShowLinesProgress(Output* output, const Event& event) {
    if (event.kind == EventKind::ProgressBegin) {
        BeginRun(output, event);
        WriteProgressLine(output, 0);
    } else if (event.kind == EventKind::Progress && static_cast<int>(event.percent / 10) > output->lastDecade) {
        WriteProgressLine(output, event.percent);
    }
}

void ShowBarProgress(Output* output, const Event& event) {
    Event update = event;
    switch (event.kind) {
        case EventKind::ProgressBegin:
            EndBar(output);
            BeginRun(output, event);
            update.current = 0;
            update.percent = 0;
            DrawBar(output, update);  // the empty bar; the first update still comes through
            break;
        case EventKind::Progress:
            if (PassUpdate(&output->throttle, event)) DrawBar(output, event);
            break;
        default:  // the end of the run: draw its last value, then end the line
            if (TakeHeldUpdate(&output->throttle, event.t, &update)) DrawBar(output, update);
            EndBar(output);
            std::fflush(output->file);
            break;
    }
}

bool IsProgress(const Event& event) {
    return event.kind == EventKind::ProgressBegin || event.kind == EventKind::Progress ||
           event.kind == EventKind::ProgressEnd;
}

}  // namespace

bool ShownWhenQuiet(const Event& event) {
    return (event.kind == EventKind::Message && event.level >= FLASH_LEVEL_WARNING) ||
           event.kind == EventKind::Summary || event.kind == EventKind::Result;
}

std::string EventLineText(const Event& event) {
    switch (event.kind) {
        case EventKind::Message:
            return std::string(event.level == FLASH_LEVEL_ERROR     ? "error: "
                               : event.level == FLASH_LEVEL_WARNING ? "warning: "
                                                                    : "") +
                   event.text;
        case EventKind::Status:
            return "status: " + event.text;
        case EventKind::Summary:
            return SummaryLine(event.summary);
        case EventKind::Result:
            return "result: " + event.text + " (" + std::to_string(event.code) + ")";
        default:
            return "";
    }
}

void ShowEvent(Output* output, const Event& event) {
    if (output->quiet && !ShownWhenQuiet(event)) return;
    if (output->style == OutputStyle::Json) {
        ShowJson(output, event);
    } else if (IsProgress(event)) {
        output->style == OutputStyle::Bar ? ShowBarProgress(output, event) : ShowLinesProgress(output, event);
    } else {
        EndBar(output);
        WriteLine(output, EventLineText(event));
    }
}

void CloseOutput(Output* output) {
    EndBar(output);
    std::fflush(output->file);
}
