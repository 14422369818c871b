#include "flashdll/session/session_report.h"

#include <cstdarg>

#include "flashdll/report/notify.h"
#include "flashdll/report/queue.h"
#include "flashdll/session/session.h"

Reporter ReporterOf(Session* session) {
    return Reporter{session->host,     session->options.debug != 0, &session->run.runFlag,
                    &session->progress, &session->queue,            reinterpret_cast<uintptr_t>(session)};
}

void LogLine(Session* session, const char* format, ...) {
    va_list args;
    va_start(args, format);
    LogLineV(ReporterOf(session), format, args);
    va_end(args);
}

void PostHostMessage(Session* session, uint32_t level, const char* format, ...) {
    va_list args;
    va_start(args, format);
    PostHostMessageV(ReporterOf(session), level, format, args);
    va_end(args);
}

void PostStatus(Session* session, const char* text) { PostStatus(ReporterOf(session), text); }

void ProgressBegin(Session* session, const char* title, uint32_t total) {
    ProgressBegin(ReporterOf(session), title, total);
}

void ProgressUpdate(Session* session, uint32_t current) { ProgressUpdate(ReporterOf(session), current); }

void ProgressAdvance(Session* session, uint32_t n) { ProgressAdvance(ReporterOf(session), n); }

void ProgressEnd(Session* session) { ProgressEnd(ReporterOf(session)); }

void Enqueue(Session* session, uint32_t type, uint32_t arg1, uint32_t arg2, const char* text) {
    Enqueue(ReporterOf(session), type, arg1, arg2, text);
}

bool DeliverOne(Session* session) { return DeliverOne(ReporterOf(session)); }

bool WaitDelivered(Session* session) { return WaitDelivered(ReporterOf(session)); }

void ResetQueue(Session* session) { ResetQueue(session->queue); }
