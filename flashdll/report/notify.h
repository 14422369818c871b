// Everything the library tells the host: log lines (only with the option
// debug), host messages with a level, status texts and progress. Outside a
// load they reach the callbacks at once on the calling thread; while a load
// runs they are queued for the delivery thread.
#pragma once

#include <cstdarg>
#include <cstdint>

#include "flashdll/os/compiler.h"
#include "flashdll/report/reporter.h"

constexpr uint32_t kFormatBufferSize = 260;  // 259 characters + NUL

void LogLine(const Reporter& reporter, const char* format, ...) FLASHDLL_PRINTF(2, 3);
void PostHostMessage(const Reporter& reporter, uint32_t level, const char* format, ...) FLASHDLL_PRINTF(3, 4);
// The same with the arguments in a va_list, for callers that forward theirs.
void LogLineV(const Reporter& reporter, const char* format, va_list args);
void PostHostMessageV(const Reporter& reporter, uint32_t level, const char* format, va_list args);
void PostStatus(const Reporter& reporter, const char* text);
void ProgressBegin(const Reporter& reporter, const char* title, uint32_t total);
void ProgressUpdate(const Reporter& reporter, uint32_t current);
void ProgressAdvance(const Reporter& reporter, uint32_t n);
void ProgressEnd(const Reporter& reporter);
