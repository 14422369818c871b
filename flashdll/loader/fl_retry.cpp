// Getting back in step with the flash loader (FL_CMD_SYNC) and repeating a
// failed operation after such a resync.
#include "flashdll/report/errors.h"
#include "flashdll/link/serial.h"
#include "flashdll/loader/fl_command.h"
#include "flashdll/loader/fl_frames.h"
#include "flashdll/link/le.h"
#include "flashdll/report/notify.h"
#include "flashdll/session/session.h"

namespace {

constexpr uint32_t kSyncAttempts = 5;
constexpr uint32_t kSyncAnswerTimeoutMs = 5000;  // per attempt

bool Settled(uint32_t code) { return code == SUCCESS || code == ERR_ABORT; }

}  // namespace

uint32_t FLSync(Session* session) {
    LogLine(session, "Sync'ing");
    uint8_t request[4];
    PutLe32(request, kFlSync);
    for (uint32_t attempt = 0; attempt < kSyncAttempts; ++attempt) {
        uint32_t written = 0;
        if (ComWrite(session, session->currentPort, request, sizeof request, &written) == 0 ||
            written != sizeof request) {
            LogLine(session, "Failed to send FL_CMD_SYNC");
            return ERR_PROTOCOL;
        }
        const uint32_t code = WaitFor4CC(session, kFlSyncAnswer, kSyncAnswerTimeoutMs);
        if (code == SUCCESS) {
            LogLine(session, "sync'ed");
            return SUCCESS;
        }
        if (code == ERR_ABORT) return ERR_ABORT;
    }
    LogLine(session, "Failed to sync");
    return ERR_PROTOCOL;
}

uint32_t ResyncBeforeRetry(Session* session) {
    const uint32_t code = FLSync(session);
    if (Settled(code)) return code;
    LogLine(session, "Failed to sync");
    return ERR_PROTOCOL;
}

uint32_t AttemptLimit(const Session* session) {
    return session->options.noretry != 0 ? 0 : kRetryAttempts;
}

// The operation runs at most max(limit, 1) times; every repetition follows
// a successful resync. A resync that fails ends the rule with ERR_PROTOCOL,
// one ended by the host's abort with ERR_ABORT; running out of attempts
// ends it with ERR_TOO_MANY_RETRIES, never with the operation's own code.
uint32_t RetryWithResync(Session* session, const char* name, uint32_t limit,
                         FlOperation operation, void* context, bool testAbort) {
    uint32_t code = operation(session, context);
    if (Settled(code)) return code;
    if (testAbort && AbortRequested(session) != 0) return ERR_ABORT;
    for (uint32_t retry = 1; retry < limit; ++retry) {
        LogLine(session, "Retry %u: %s", retry, name);
        const uint32_t sync = ResyncBeforeRetry(session);
        if (sync != SUCCESS) return sync;
        code = operation(session, context);
        if (Settled(code)) return code;
    }
    LogLine(session, "Giving up on %s", name);
    return ERR_TOO_MANY_RETRIES;
}
