// flashcli's host: prints the library's notifications, one line each.
// Messages at level 1 and 2 get "warning: " and "error: ", status texts
// "status: ". Progress is a bar on a terminal, redrawn only when its value
// changes and ended with a newline; elsewhere it is a line
// "progress: TITLE NN%" per percent step.
#pragma once

#include <atomic>
#include <cstdio>
#include <mutex>
#include <string>

#include "flashdll/flashdll.h"

struct ConsoleHost {
    FlashHostDescriptor descriptor = {};  // first: callbacks find the host through it

    std::FILE* out = stdout;
    bool terminal = false;                 // draw a bar instead of progress lines
    const std::atomic<int>* abortRequested = nullptr;  // read by OnPollAbort

    // Progress state, used by the delivery thread during a load.
    std::mutex lock;
    std::string title;
    int lastPercent = -1;  // -1: nothing shown for this progress yet
    bool barOpen = false;  // a bar is on the current line without its newline
};

// Prepares the descriptor (size) and remembers where to print.
void ConsoleHostSetUp(ConsoleHost* host, std::FILE* out, bool terminal, const std::atomic<int>* abortRequested);
// Sets the six callbacks; call after FlashInit, which clears them.
void ConsoleHostInstallCallbacks(ConsoleHost* host);
// Ends a bar that is still open with its newline.
void ConsoleHostClose(ConsoleHost* host);
