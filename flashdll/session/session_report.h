// The notifications of a session: the report/ operations on the session's
// host, options, run flag, progress state and queue. The dialogues and the
// job call these; the base layers take the Reporter itself.
#pragma once

#include <cstdint>

#include "flashdll/os/compiler.h"
#include "flashdll/report/reporter.h"

struct Session;

// The session's notifications as a Reporter (valid while the session is).
Reporter ReporterOf(Session* session);

void LogLine(Session* session, const char* format, ...) FLASHDLL_PRINTF(2, 3);
void PostHostMessage(Session* session, uint32_t level, const char* format, ...) FLASHDLL_PRINTF(3, 4);
void PostStatus(Session* session, const char* text);
void ProgressBegin(Session* session, const char* title, uint32_t total);
void ProgressUpdate(Session* session, uint32_t current);
void ProgressAdvance(Session* session, uint32_t n);
void ProgressEnd(Session* session);

void Enqueue(Session* session, uint32_t type, uint32_t arg1, uint32_t arg2, const char* text);
bool DeliverOne(Session* session);
bool WaitDelivered(Session* session);
void ResetQueue(Session* session);
