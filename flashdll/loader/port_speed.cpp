// The ports after chip detection: whether a second port reaches the
// handset, the fastest rate each port and the flash loader share, and how
// bulk data is split between the ports.
#include <cstdio>

#include "flashdll/report/errors.h"
#include "flashdll/link/serial.h"
#include "flashdll/loader/fl_command.h"
#include "flashdll/loader/fl_frames.h"
#include "flashdll/link/fourcc.h"
#include "flashdll/loader/handshake.h"
#include "flashdll/loader/handshake_steps.h"
#include "flashdll/loader/poll_uart.h"
#include "flashdll/link/le.h"
#include "flashdll/report/notify.h"
#include "flashdll/session/options.h"
#include "flashdll/os/clock.h"
#include "flashdll/session/session.h"

namespace {

constexpr uint32_t kCheckConnection = FourCC("CHKC");
constexpr uint32_t kCheckConnectionWord = 0x12345678u;
constexpr uint32_t kCheckConnectionTimeoutMs = 1000;
constexpr uint32_t kConnectionProbeWindowMs = 1000;
constexpr uint32_t kConnectionReadTimeoutMs = 10;

constexpr uint32_t kBaud = FourCC("BAUD");
constexpr uint32_t kBaudTimeoutMs = 3000;
constexpr uint32_t kBaudAttempts = 2;
// The flash loader changes its rate after its reply to BAUD; this long at
// most, the PC waits for the port to answer at the new rate.
constexpr uint32_t kBaudSettleMs = 750;
constexpr uint32_t kRateProbeReplyMs = 20;  // one resync's wait for "syn!" meanwhile
constexpr uint32_t kDefaultBaud = 115200;

const char* PortName(const Session* session, uint32_t port) {
    return ComName(session->options.com[port]);
}

struct BaudRequest {
    uint32_t uart;
    uint32_t rate;
};

uint32_t SendBaud(Session* session, void* context) {
    const BaudRequest* request = static_cast<const BaudRequest*>(context);
    uint8_t payload[8];
    PutLe32(payload, request->uart);
    PutLe32(payload + 4, request->rate);
    uint8_t reply[kErrorRecordSize];
    return FLSendCmd(session, kBaud, sizeof payload, payload, 0, reply, kBaudTimeoutMs);
}

// Closes `port` and every later one and goes on with one port.
void FallBackToOnePort(Session* session, uint32_t port) {
    PostHostMessage(session, FLASH_LEVEL_ERROR,
                    "Error during connection test. Only one port will be used");
    for (uint32_t p = port; p < session->portCount && p < kMaxPorts; ++p) ComClose(session, p);
    session->portCount = 1;
    FLSync(session);  // a stale answer of the test may still be on its way
}

// "*" on `port` in polling mode until the flash loader names its UART, for
// at most `windowMs`; the port's time-outs are as before afterwards.
uint32_t ProbeConnection(Session* session, uint32_t port, uint32_t windowMs, uint32_t* uart) {
    const uint32_t previousTimeoutMs = ComSetTimout(session, port, kConnectionReadTimeoutMs);
    ComPolling(session, port, 1);
    const uint32_t code = PollForUart(session, port, windowMs, uart);
    ComPolling(session, port, 0);
    ComSetTimout(session, port, previousTimeoutMs);
    return code;
}

// Bare resyncs with short waits until "syn!" answers or `windowMs` pass.
bool SyncWithin(Session* session, uint32_t windowMs) {
    uint8_t request[4];
    PutLe32(request, kFlSync);
    const uint32_t start = os::TickCountMs();
    while (os::TickCountMs() - start < windowMs && AbortRequested(session) == 0) {
        uint32_t written = 0;
        if (ComWrite(session, session->currentPort, request, sizeof request, &written) == 0 ||
            written != sizeof request) {
            return false;
        }
        if (WaitFor4CC(session, kFlSyncAnswer, kRateProbeReplyMs) == SUCCESS) return true;
    }
    return false;
}

// The wait for the flash loader's new rate ends as soon as the port answers
// at it: the current port a resync (which is also the resync after the
// change), another port the connection probe. Without an answer the wait
// lasts kBaudSettleMs as it always did, and the current port resyncs then.
uint32_t AwaitNewRate(Session* session, uint32_t currentPort, uint32_t port) {
    if (port != currentPort) {
        uint32_t uart = kUnknownUart;
        const uint32_t code = ProbeConnection(session, port, kBaudSettleMs, &uart);
        return code == ERR_ABORT ? ERR_ABORT : SUCCESS;
    }
    LogLine(session, "Sync'ing");
    if (SyncWithin(session, kBaudSettleMs)) {
        LogLine(session, "sync'ed");
        return SUCCESS;
    }
    if (AbortRequested(session) != 0) return ERR_ABORT;
    return FLSync(session);
}

}  // namespace

const char* FormatSpeedList(const uint32_t* speeds, char* out, size_t size) {
    int length = std::snprintf(out, size, "Mobile transfer speeds:");
    for (uint32_t i = 0; i < kMobileSpeedCount && length > 0 && static_cast<size_t>(length) < size;
         ++i) {
        if (speeds[i] == 0) {
            out[--length] = '\0';  // drops the comma after the last speed
            break;
        }
        length += std::snprintf(out + length, size - static_cast<size_t>(length), " %lu,",
                                static_cast<unsigned long>(speeds[i]));
    }
    return out;
}

uint32_t SpeedLimit(uint32_t maxspeedIndex) {
    return maxspeedIndex < FLASH_SPEED_COUNT ? kSpeedList[maxspeedIndex] : kDefaultBaud;
}

uint32_t ChooseLinkSpeed(const uint32_t* mobileSpeeds, uint32_t limit, const PortRecord& port) {
    const uint32_t supportedCount =
        port.supportedSpeedCount < kPcSpeedCount ? port.supportedSpeedCount : kPcSpeedCount;
    uint32_t best = 0;
    for (uint32_t i = 0; i < kMobileSpeedCount; ++i) {
        const uint32_t speed = mobileSpeeds[i];
        if (speed <= best || speed > limit) continue;
        for (uint32_t k = 0; k < supportedCount; ++k) {
            if (port.supportedSpeeds[k] == speed) best = speed;
        }
    }
    return best;
}

uint32_t TransferShare(uint32_t baudRate, uint32_t totalBaud) {
    if (totalBaud == 0) return 0;
    return static_cast<uint32_t>(static_cast<uint64_t>(baudRate) * 100 / totalBaud);
}

// Commands go out on the session's current port, which the caller passes
// as `currentPort`; the test itself runs on `port`.
uint32_t CheckConnection(Session* session, uint32_t currentPort, uint32_t port,
                         uint32_t* uartNumber) {
    (void)currentPort;
    LogLine(session, "CheckConnection(%s)", PortName(session, port));
    uint8_t payload[4];
    PutLe32(payload, kCheckConnectionWord);
    uint8_t reply[kErrorRecordSize];
    uint32_t code = FLSendCmd(session, kCheckConnection, sizeof payload, payload, 0, reply,
                              kCheckConnectionTimeoutMs);
    if (code != SUCCESS) return code;
    *uartNumber = kUnknownUart;
    uint32_t uart = kUnknownUart;
    code = ProbeConnection(session, port, kConnectionProbeWindowMs, &uart);
    if (code != SUCCESS) return code;  // ERR_ABORT or ERR_TIMEOUT
    *uartNumber = uart;
    session->ports[port].uartNumber = uart;
    session->ports[port].checkedUart = static_cast<uint16_t>(uart);
    LogLine(session, "%s is connected to UART%u", PortName(session, port), uart);
    return SUCCESS;
}

uint32_t BaudRate(Session* session, uint32_t currentPort, uint32_t port, uint32_t rate) {
    BaudRequest request{session->ports[port].uartNumber, rate};
    const uint32_t code = RetryWithResync(session, "BaudRate", kBaudAttempts, SendBaud, &request);
    if (code != SUCCESS) return code;
    if (ComSetBaud(session, port, rate) == 0) {
        LogLine(session, "%s: cannot set baud rate %lu", PortName(session, port),
                static_cast<unsigned long>(rate));
        return ERR_COM;
    }
    LogLine(session, "%s: baud rate set to %lu", PortName(session, port),
            static_cast<unsigned long>(rate));
    session->ports[currentPort].linkSpeed = rate;
    return AwaitNewRate(session, currentPort, port);
}

uint32_t TestConnections(Session* session) {
    if (session->portCount != 2) return SUCCESS;
    const uint32_t current = session->currentPort;
    for (uint32_t port = 0; port < session->portCount; ++port) {
        if (port == current) continue;
        uint32_t uart = kUnknownUart;
        const uint32_t code = CheckConnection(session, current, port, &uart);
        if (code == SUCCESS) continue;
        if (code == ERR_ABORT) return code;
        if (port == 0) {
            PostHostMessage(session, FLASH_LEVEL_ERROR, "Connection test failed.");
            return code;
        }
        FallBackToOnePort(session, port);
        return SUCCESS;
    }
    PostHostMessage(session, FLASH_LEVEL_INFO, "%u port(s) will be used", session->portCount);
    return SUCCESS;
}

// A port keeps its rate when the best common speed is the default one, or
// when no mobile speed is allowed for it at all.
uint32_t RaiseBaudRates(Session* session) {
    for (uint32_t port = 0; port < session->portCount && port < kMaxPorts; ++port) {
        const uint32_t limit = SpeedLimit(session->options.maxspeed[port]);
        const uint32_t best =
            ChooseLinkSpeed(session->flashLoader.mobileSpeeds, limit, session->ports[port]);
        if (best == 0 || best == kDefaultBaud) continue;
        PostHostMessage(session, FLASH_LEVEL_INFO, "%s: changing baud rate to %lu",
                        PortName(session, port), static_cast<unsigned long>(best));
        const uint32_t code = BaudRate(session, session->currentPort, port, best);
        if (code != SUCCESS) return code;
    }
    return SUCCESS;
}

void AssignTransferShares(Session* session) {
    const uint32_t count = session->portCount < kMaxPorts ? session->portCount : kMaxPorts;
    uint32_t total = 0;
    for (uint32_t port = 0; port < count; ++port) total += session->ports[port].baudRate;
    PostHostMessage(session, FLASH_LEVEL_INFO, "Port info:");
    for (uint32_t port = 0; port < count; ++port) {
        PortRecord& record = session->ports[port];
        record.transferShare = TransferShare(record.baudRate, total);
        PostHostMessage(session, FLASH_LEVEL_INFO, "Logical port %u: %s <-> UART%u at %lu baud (~%lu%%)",
                        port, PortName(session, port), record.uartNumber,
                        static_cast<unsigned long>(record.baudRate),
                        static_cast<unsigned long>(record.transferShare));
    }
}
