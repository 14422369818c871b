#include "flashdll/report/notify.h"

#include <cstdarg>
#include <cstdio>

#include "flashdll/os/clock.h"
#include "flashdll/report/queue.h"
#include "flashdll/session/session.h"

namespace {

constexpr uint32_t kProgressRepeatMs = 1000;

bool Running(const Session* session) {
    return session->run.runFlag.load(std::memory_order_acquire) != 0;
}

// Formats and delivers one OnMessage notification; the text is cut to 259
// characters.
void DeliverMessage(Session* session, uint32_t level, const char* format, va_list args) {
    char text[kFormatBufferSize];
    std::vsnprintf(text, sizeof text, format, args);
    if (Running(session)) {
        Enqueue(session, NOTIFY_MESSAGE, level, 0, text);
    } else {
        session->host->OnMessage(session->host, level, text);
    }
}

}  // namespace

void LogLine(Session* session, const char* format, ...) {
    if (session->options.debug == 0 || session->host->OnMessage == nullptr) {
        return;
    }
    va_list args;
    va_start(args, format);
    DeliverMessage(session, FLASH_LEVEL_INFO, format, args);
    va_end(args);
}

void PostHostMessage(Session* session, uint32_t level, const char* format, ...) {
    if (session->host->OnMessage == nullptr) {
        return;
    }
    va_list args;
    va_start(args, format);
    DeliverMessage(session, level, format, args);
    va_end(args);
}

void PostStatus(Session* session, const char* text) {
    if (session->host->OnStatusText == nullptr) {
        return;
    }
    if (Running(session)) {
        Enqueue(session, NOTIFY_STATUS, 0, 0, text);
    } else {
        session->host->OnStatusText(session->host, text);
    }
}

void ProgressBegin(Session* session, const char* title, uint32_t total) {
    ProgressState& progress = session->progress;
    progress.total = total != 0 ? total : 1;
    progress.current = 0;
    progress.lastPercent = 0;
    if (session->host->OnProgressBegin == nullptr) {
        return;
    }
    if (Running(session)) {
        Enqueue(session, NOTIFY_PROGRESS_BEGIN, progress.total, 0, title);
    } else {
        session->host->OnProgressBegin(session->host, title, progress.total);
    }
}

void ProgressUpdate(Session* session, uint32_t current) {
    const uint32_t now = os::TickCountMs();
    if (session->host->OnProgressUpdate == nullptr) {
        return;
    }
    ProgressState& progress = session->progress;
    progress.current = current < progress.total ? current : progress.total;
    const uint32_t percent = static_cast<uint32_t>(
        static_cast<double>(progress.current) * 100.0 / static_cast<double>(progress.total));
    if (percent == progress.lastPercent && now - progress.lastUpdateMs < kProgressRepeatMs) {
        return;
    }
    progress.lastPercent = percent;
    progress.lastUpdateMs = now;
    if (Running(session)) {
        Enqueue(session, NOTIFY_PROGRESS, progress.current, percent, nullptr);
    } else {
        session->host->OnProgressUpdate(session->host, progress.current, percent);
    }
}

void ProgressAdvance(Session* session, uint32_t n) {
    const uint64_t sum = static_cast<uint64_t>(session->progress.current) + n;
    ProgressUpdate(session, sum > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(sum));
}

void ProgressEnd(Session* session) {
    if (session->host->OnProgressEnd == nullptr) {
        return;
    }
    if (Running(session)) {
        Enqueue(session, NOTIFY_PROGRESS_END, 0, 0, nullptr);
    } else {
        session->host->OnProgressEnd(session->host);
    }
}
