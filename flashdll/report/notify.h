// Everything the library tells the host: log lines (only with the option
// debug), host messages with a level, status texts and progress. Outside a
// load they reach the callbacks at once on the calling thread; while a load
// runs they are queued for the delivery thread.
#pragma once

#include <cstdint>

#include "flashdll/os/compiler.h"

struct Session;

constexpr uint32_t kFormatBufferSize = 260;  // 259 characters + NUL

struct ProgressState {
    uint32_t total;          // at least 1
    uint32_t current;
    uint32_t lastPercent;    // last percentage delivered
    uint32_t lastUpdateMs;   // tick count of the last update delivered
};

void LogLine(Session* session, const char* format, ...) FLASHDLL_PRINTF(2, 3);
void PostHostMessage(Session* session, uint32_t level, const char* format, ...) FLASHDLL_PRINTF(3, 4);
void PostStatus(Session* session, const char* text);
void ProgressBegin(Session* session, const char* title, uint32_t total);
void ProgressUpdate(Session* session, uint32_t current);
void ProgressAdvance(Session* session, uint32_t n);
void ProgressEnd(Session* session);
