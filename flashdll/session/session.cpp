#include "flashdll/session/session.h"

void RecordError(Session* session, uint32_t code) {
    session->run.recordedError = code;
}
