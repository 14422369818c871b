#include "flashdll/report/notify.h"

#include <cstdarg>
#include <cstdio>

#include "flashdll/os/clock.h"
#include "flashdll/report/queue.h"

namespace {

constexpr uint32_t kProgressRepeatMs = 1000;

bool Running(const Reporter& reporter) {
    return reporter.running->load(std::memory_order_acquire) != 0;
}

// Formats and delivers one OnMessage notification; the text is cut to 259
// characters.
void DeliverMessage(const Reporter& reporter, uint32_t level, const char* format, va_list args) {
    char text[kFormatBufferSize];
    std::vsnprintf(text, sizeof text, format, args);
    if (Running(reporter)) {
        Enqueue(reporter, NOTIFY_MESSAGE, level, 0, text);
    } else {
        reporter.host->OnMessage(reporter.host, level, text);
    }
}

}  // namespace

void LogLineV(const Reporter& reporter, const char* format, va_list args) {
    if (!reporter.debug || reporter.host->OnMessage == nullptr) {
        return;
    }
    DeliverMessage(reporter, FLASH_LEVEL_INFO, format, args);
}

void PostHostMessageV(const Reporter& reporter, uint32_t level, const char* format, va_list args) {
    if (reporter.host->OnMessage == nullptr) {
        return;
    }
    DeliverMessage(reporter, level, format, args);
}

void LogLine(const Reporter& reporter, const char* format, ...) {
    va_list args;
    va_start(args, format);
    LogLineV(reporter, format, args);
    va_end(args);
}

void PostHostMessage(const Reporter& reporter, uint32_t level, const char* format, ...) {
    va_list args;
    va_start(args, format);
    PostHostMessageV(reporter, level, format, args);
    va_end(args);
}

void PostStatus(const Reporter& reporter, const char* text) {
    if (reporter.host->OnStatusText == nullptr) {
        return;
    }
    if (Running(reporter)) {
        Enqueue(reporter, NOTIFY_STATUS, 0, 0, text);
    } else {
        reporter.host->OnStatusText(reporter.host, text);
    }
}

void ProgressBegin(const Reporter& reporter, const char* title, uint32_t total) {
    ProgressState& progress = *reporter.progress;
    progress.total = total != 0 ? total : 1;
    progress.current = 0;
    progress.lastPercent = 0;
    if (reporter.host->OnProgressBegin == nullptr) {
        return;
    }
    if (Running(reporter)) {
        Enqueue(reporter, NOTIFY_PROGRESS_BEGIN, progress.total, 0, title);
    } else {
        reporter.host->OnProgressBegin(reporter.host, title, progress.total);
    }
}

void ProgressUpdate(const Reporter& reporter, uint32_t current) {
    const uint32_t now = os::TickCountMs();
    if (reporter.host->OnProgressUpdate == nullptr) {
        return;
    }
    ProgressState& progress = *reporter.progress;
    progress.current = current < progress.total ? current : progress.total;
    const uint32_t percent = static_cast<uint32_t>(
        static_cast<double>(progress.current) * 100.0 / static_cast<double>(progress.total));
    if (percent == progress.lastPercent && now - progress.lastUpdateMs < kProgressRepeatMs) {
        return;
    }
    progress.lastPercent = percent;
    progress.lastUpdateMs = now;
    if (Running(reporter)) {
        Enqueue(reporter, NOTIFY_PROGRESS, progress.current, percent, nullptr);
    } else {
        reporter.host->OnProgressUpdate(reporter.host, progress.current, percent);
    }
}

void ProgressAdvance(const Reporter& reporter, uint32_t n) {
    const uint64_t sum = static_cast<uint64_t>(reporter.progress->current) + n;
    ProgressUpdate(reporter, sum > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(sum));
}

void ProgressEnd(const Reporter& reporter) {
    if (reporter.host->OnProgressEnd == nullptr) {
        return;
    }
    if (Running(reporter)) {
        Enqueue(reporter, NOTIFY_PROGRESS_END, 0, 0, nullptr);
    } else {
        reporter.host->OnProgressEnd(reporter.host);
    }
}
