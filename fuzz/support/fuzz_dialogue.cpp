#include "support/fuzz_dialogue.h"

#include "flashdll/link/serial.h"
#include "flashdll/session/options.h"
#include "flashdll/os/fuzz/fuzz_line.h"
#include "flashdll/session/session.h"
#include "support/fuzz_host.h"

namespace fuzz_support {

namespace {

constexpr uint32_t kSilenceCountMask = 0x0F;
constexpr uint32_t kOpenBaud = 115200;
constexpr uint32_t kOpenTimeoutMs = 1000;
// The clock starts half a minute before the millisecond counter wraps, so
// that waits cross the wrap.
constexpr uint32_t kClockStartMs = 0xFFFFFFFFu - 30000u;

void AbortOnSilence(void* context) {
    static_cast<Session*>(context)->run.abortFlag.store(1, std::memory_order_release);
}

}  // namespace

LineInput StartLine(Session* session, const uint8_t* data, size_t size) {
    LineInput input = {0, data, 0};
    size_t offset = 0;
    if (size > 0) input.scenario = data[offset++];
    const uint32_t silences = offset < size ? (data[offset++] & kSilenceCountMask) : 0;
    size_t silenceAt[kSilenceCountMask + 1] = {};
    for (uint32_t i = 0; i < silences; ++i, offset += 2) {
        silenceAt[i] = offset + 1 < size ? (data[offset] | data[offset + 1] << 8) : 0;
    }
    offset = offset < size ? offset : size;
    input.stream = data + offset;
    input.streamSize = size - offset;
    os::fuzz::ResetLine(input.stream, input.streamSize);
    for (uint32_t i = 0; i < silences; ++i) os::fuzz::AddSilence(silenceAt[i]);
    os::fuzz::OnLineExhausted(AbortOnSilence, session);
    os::fuzz::ResetClock(kClockStartMs);
    return input;
}

void OpenLineSession(Session* session, uint32_t ports) {
    SetLoadOptionDefaults(&session->options);
    session->options.debug = 1;
    session->options.com[0] = 0;
    session->options.com[1] = ports > 1 ? 1 : FLASH_NO_PORT;
    session->platform = PlatformRecord{};
    session->flashLoader = FlashLoaderInfo{};
    session->priorities = ThreadPriorityStack{};
    session->progress = ProgressState{1, 0, 0};
    session->run.abortFlag.store(0);
    session->run.recordedError = ERR_UNKNOWN;
    session->overlappedIo = 1;
    session->legacyOs = 0;
    session->currentPort = 0;
    session->portCount = ports;
    for (uint32_t port = 0; port < kMaxPorts; ++port) {
        session->ports[port] = PortRecord{};
        if (port < ports) FUZZ_CHECK(ComOpen(session, port, port, kOpenBaud, kOpenTimeoutMs) == 1);
    }
}

void CloseLineSession(Session* session) {
    for (uint32_t port = 0; port < kMaxPorts; ++port) FUZZ_CHECK(session->ports[port].pollingActive == 0);
    FUZZ_CHECK(session->priorities.depth == 0);
    session->portCount = kMaxPorts;
    ComCloseAll(session);
    FUZZ_CHECK(os::fuzz::OpenDevices() == 0);
}

bool IsErrorCode(uint32_t code) { return code <= ERR_CHECKFILESIZE_FAIL || code == ERR_UNKNOWN; }

}  // namespace fuzz_support
