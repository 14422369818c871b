// Where a job's events are shown, in one of three styles:
// - Json: one object per line (json_event.h); progress thinned out;
// - Lines: plain lines for files and pipes, progress only at 0%, at every
//   step of 10% and at 100% ("progress: TITLE NN%", at most 11 per run);
// - Bar: plain lines, progress as a bar redrawn in place with rate and time left.
// Quiet shows warnings, errors, the summary and the result only.
#pragma once

#include <cstdio>
#include <string>

#include "event.h"
#include "progress_bar.h"
#include "progress_throttle.h"

enum class OutputStyle { Json, Lines, Bar };

struct Output {
    OutputStyle style = OutputStyle::Lines;
    bool quiet = false;
    std::FILE* file = stdout;
    std::string handset;     // Json: the "handset" member; Lines: the prefix "[NAME] "
    bool thinOut = true;     // Json: throttle progress (not for events that were thinned out already)
    unsigned columns = 80;   // Bar: width of the terminal

    // The running progress.
    ProgressThrottle throttle;
    BarState bar;
    int lastDecade = -1;     // Lines: tens of percent last printed
    bool barOpen = false;    // Bar: the bar stands on the line without its newline
};

void ShowEvent(Output* output, const Event& event);
// Ends an open bar with its newline and flushes.
void CloseOutput(Output* output);

// Whether quiet output shows the event.
bool ShownWhenQuiet(const Event& event);
// The plain line of a message, status, summary or result, without newline:
// "warning: TEXT", "status: TEXT", "summary: ...", "result: NAME (CODE)".
std::string EventLineText(const Event& event);
