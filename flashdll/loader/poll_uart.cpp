#include "flashdll/loader/poll_uart.h"

#include "flashdll/link/serial.h"
#include "flashdll/os/clock.h"
#include "flashdll/report/errors.h"
#include "flashdll/session/session.h"

namespace {

// Pause after a "*" that drew no answer: keeps the probe near the pace of a
// real line instead of flooding a device that does not read.
constexpr uint32_t kUartProbePauseMs = 1;

// One "*" and the answer to it: 0 for "#A", 1 for "#B", -1 for anything else.
int ProbeUart(Session* session, uint32_t port) {
    const uint8_t star = '*';
    uint32_t count = 0;
    ComWrite(session, port, &star, 1, &count);
    uint8_t byte = 0;
    if (ComRead(session, port, &byte, 1, &count) == 0 || count != 1 || byte != '#') return -1;
    if (ComRead(session, port, &byte, 1, &count) == 0 || count != 1) return -1;
    if (byte == 'A') return 0;
    if (byte == 'B') return 1;
    return -1;
}

}  // namespace

uint32_t PollForUart(Session* session, uint32_t port, uint32_t windowMs, uint32_t* uart) {
    const uint32_t start = os::TickCountMs();
    for (;;) {
        const int answer = ProbeUart(session, port);
        if (answer >= 0) {
            *uart = static_cast<uint32_t>(answer);
            return SUCCESS;
        }
        if (AbortRequested(session) != 0) return ERR_ABORT;
        if (os::TickCountMs() - start >= windowMs) return ERR_TIMEOUT;
        os::SleepMs(kUartProbePauseMs);
    }
}

