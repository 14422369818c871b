// The scanner that finds four-character codes in a port's byte stream. It
// reads one byte at a time with a short read time-out so that it can look at
// the abort flag and its deadline after every read.
#include <cstdio>

#include "flashdll/report/errors.h"
#include "flashdll/link/serial.h"
#include "flashdll/loader/fl_command.h"
#include "flashdll/link/fourcc.h"
#include "flashdll/report/notify.h"
#include "flashdll/os/clock.h"
#include "flashdll/session/session.h"

namespace {

constexpr uint32_t kScanReadTimeoutMs = 5;
// The handset sends this when it gave up on the exchange: any wait ends.
constexpr uint32_t kGiveUpMarker = FourCC("?!!?");

struct Scan {
    Session* session;
    uint32_t port;
    uint32_t count;
    const uint32_t* codes;
    uint32_t timeoutMs;
    uint32_t startMs;
    uint32_t window;  // the last four bytes, the oldest in the low byte
};

enum class Match { None, Listed, GiveUp };

Match MatchWindow(const Scan& scan, uint32_t* found) {
    if (scan.window == kGiveUpMarker) {
        return Match::GiveUp;
    }
    for (uint32_t i = 0; i < scan.count; ++i) {  // in list order
        if (scan.window == scan.codes[i]) {
            *found = scan.codes[i];
            return Match::Listed;
        }
    }
    return Match::None;
}

bool DeadlinePassed(const Scan& scan) {
    // Unsigned difference: correct across a wrap of the tick counter.
    return os::TickCountMs() - scan.startMs > scan.timeoutMs;
}

uint32_t ScanPort(Scan& scan, uint32_t* found) {
    for (;;) {
        uint8_t byte = 0;
        uint32_t got = 0;
        const int ok = ComRead(scan.session, scan.port, &byte, 1, &got);
        if (ok != 0 && got == 1) {
            scan.window = (scan.window >> 8) | (static_cast<uint32_t>(byte) << 24);
            const Match match = MatchWindow(scan, found);
            if (match != Match::None) {
                return match == Match::Listed ? SUCCESS : ERR_TIMEOUT;
            }
        } else if (ok == 0) {
            // A failing port returns at once; wait as long as a read would
            // have, rather than spinning until the deadline.
            os::SleepMs(kScanReadTimeoutMs);
        }
        WatchPorts(scan.session);  // the other port may go while this one is awaited
        if (AbortRequested(scan.session) != 0) {
            return ERR_ABORT;
        }
        if (DeadlinePassed(scan)) {
            return ERR_TIMEOUT;
        }
    }
}

void LogScanFailure(Session* session, uint32_t result, uint32_t count, const uint32_t* codes) {
    char name[kErrorNameSize];
    LogLine(session, "WaitFor4CCs failed: %s (%u)", ErrorName(result, name), result);
    for (uint32_t i = 0; i < count; ++i) {
        LogLine(session, "0x%08lx = %c%c%c%c", static_cast<unsigned long>(codes[i]),
                FOURCC_CHARS(codes[i]));
    }
}

}  // namespace

uint32_t WaitFor4CCs(Session* session, uint32_t count, const uint32_t* codes,
                     uint32_t timeoutMs, uint32_t* found) {
    const uint32_t port = session->currentPort;
    const uint32_t previousTimeoutMs = ComSetTimout(session, port, kScanReadTimeoutMs);
    Scan scan = {session, port, count, codes, timeoutMs, os::TickCountMs(), 0};
    uint32_t code = 0;
    const uint32_t result = ScanPort(scan, &code);
    ComSetTimout(session, port, previousTimeoutMs);
    if (result == SUCCESS) {
        if (found != nullptr) {
            *found = code;
        }
    } else if (result != ERR_ABORT) {
        LogScanFailure(session, result, count, codes);
    }
    return result;
}

uint32_t WaitFor4CC(Session* session, uint32_t code, uint32_t timeoutMs) {
    uint32_t found = 0;
    return WaitFor4CCs(session, 1, &code, timeoutMs, &found);
}
