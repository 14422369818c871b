#include "flashdll/link/serial.h"

#include "flashdll/report/notify.h"
#include "flashdll/os/clock.h"
#include "flashdll/session/session.h"

namespace {

constexpr uint32_t kSyncWriteChunkBytes = 4096;  // largest piece of one synchronous write
constexpr uint32_t kPollingReadConstantMs = 2;    // read wait of polling variant 1
constexpr uint32_t kPollingVariantTwoMs = 1;      // polling variant that waits 2 ms

// The record of logical `port`, or nullptr for an index no session has.
PortRecord* RecordOf(Session* session, uint32_t port) {
    return port < kMaxPorts ? &session->ports[port] : nullptr;
}

unsigned long LastError() { return static_cast<unsigned long>(os::SerialLastError()); }

const char* PortName(Session* session, uint32_t port) { return ComName(session->options.com[port]); }

os::SerialTimeouts ReadTimeouts(uint32_t ms) { return {0, 0, ms, 0, 0}; }

os::SerialTimeouts PollingTimeouts(const Session* session) {
    if (session->options.pollingvariant == kPollingVariantTwoMs) {
        return {0, 0, kPollingReadConstantMs, 0, 0};
    }
    return {os::kReturnAtOnceInterval, 0, 0, 0, 0};
}

// Puts a read time-out of `ms` on the device; a refusal is reported.
void ApplyReadTimeout(Session* session, PortRecord& record, uint32_t ms) {
    os::SerialTimeouts current;
    if (!os::SerialGetTimeouts(record.handle, &current) ||
        !os::SerialSetTimeouts(record.handle, ReadTimeouts(ms))) {
        PostHostMessage(session, FLASH_LEVEL_ERROR, "Error: ComSetTimout FAILED (%lu, %lu)",
                        static_cast<unsigned long>(ms), LastError());
    }
}

// Synchronous writes go out in pieces of at most kSyncWriteChunkBytes.
int WriteInPieces(os::SerialDevice* device, const uint8_t* data, uint32_t length,
                  uint32_t* written) {
    *written = 0;
    while (*written < length) {
        const uint32_t remaining = length - *written;
        const uint32_t piece = remaining < kSyncWriteChunkBytes ? remaining : kSyncWriteChunkBytes;
        uint32_t done = 0;
        const bool ok = os::SerialWrite(device, data + *written, piece, &done);
        *written += done;
        if (!ok) {
            return 0;
        }
    }
    return 1;
}

// After a failed read or write, and when the ports are watched: a device
// that has gone marks its port lost, which ends the load; the host hears
// of it once.
void NoteIfGone(Session* session, uint32_t port) {
    PortRecord* record = RecordOf(session, port);
    if (record == nullptr || record->handle == nullptr || record->lost != 0 ||
        !os::SerialDeviceGone(record->handle)) {
        return;
    }
    record->lost = 1;
    PostHostMessage(session, FLASH_LEVEL_ERROR, "Error: %s has gone away", PortName(session, port));
}

int Noted(Session* session, uint32_t port, int ok) {
    if (ok == 0) {
        NoteIfGone(session, port);
    }
    return ok;
}

}  // namespace

int ComOpen(Session* session, uint32_t port, uint32_t comIndex, uint32_t baud, uint32_t timeoutMs) {
    PortRecord* record = RecordOf(session, port);
    if (record == nullptr) {
        return 0;
    }
    if (record->handle != nullptr) {
        ComClose(session, port);  // never lose an open device by overwriting its handle
    }
    os::SerialDevice* device = os::SerialOpen(comIndex + 1, session->overlappedIo == 1);
    if (device == nullptr) {
        PostHostMessage(session, FLASH_LEVEL_ERROR, "Error: Could not open %s at %u Baud (%lu)",
                        ComName(comIndex), baud, LastError());
        return 0;
    }
    record->handle = device;
    record->pollingActive = 0;
    record->lost = 0;
    if (ComSetBaud(session, port, baud) == 0) {
        PostHostMessage(session, FLASH_LEVEL_WARNING, "Error: Could not set %s at %u Baud (%lu)",
                        ComName(comIndex), baud, LastError());
        return 0;
    }
    LogLine(session, "Opened %s at %u baud", ComName(comIndex), baud);
    os::SerialClearError();
    // A fresh device has no time-outs of its own yet, so the time-out goes on
    // even when the record already names the same value.
    ApplyReadTimeout(session, *record, timeoutMs);
    record->readTimeoutMs = timeoutMs;
    return 1;
}

int ComSetBaud(Session* session, uint32_t port, uint32_t baud) {
    PortRecord* record = RecordOf(session, port);
    if (record == nullptr) {
        return 0;
    }
    if (!os::SerialGetState(record->handle)) {
        PostHostMessage(session, FLASH_LEVEL_ERROR, "Error: GetCommState FAILED (%lu)", LastError());
        NoteIfGone(session, port);
        return 0;
    }
    // Bytes still on their way would go out at the new rate, garbled.
    ComDrain(session, port);
    // The device layer builds the whole line from nothing (raw 8N1, no flow
    // control, DTR and RTS on) and refuses every rate but the five PC speeds
    // without touching the device.
    if (!os::SerialSetState(record->handle, baud)) {
        NoteIfGone(session, port);
        return 0;
    }
    record->baudRate = baud;
    return 1;
}

uint32_t ComSetTimout(Session* session, uint32_t port, uint32_t timeoutMs) {
    PortRecord* record = RecordOf(session, port);
    if (record == nullptr) {
        return 0;
    }
    const uint32_t previous = record->readTimeoutMs;
    if (previous == timeoutMs) {
        return previous;
    }
    ApplyReadTimeout(session, *record, timeoutMs);
    record->readTimeoutMs = timeoutMs;
    return previous;
}

void ComPolling(Session* session, uint32_t port, int on) {
    PortRecord* record = RecordOf(session, port);
    if (record == nullptr || (record->pollingActive != 0) == (on != 0)) {
        return;
    }
    if (on != 0) {
        os::SerialGetTimeouts(record->handle, &record->savedTimeouts);
        os::SerialSetTimeouts(record->handle, PollingTimeouts(session));
        record->pollingActive = 1;
    } else {
        os::SerialSetTimeouts(record->handle, record->savedTimeouts);
        record->pollingActive = 0;
    }
}

int ComWrite(Session* session, uint32_t port, const void* data, uint32_t length, uint32_t* written) {
    *written = 0;
    PortRecord* record = RecordOf(session, port);
    if (record == nullptr) {
        return 0;
    }
    if (session->overlappedIo == 1) {
        // One request for the whole buffer; its completion decides the result.
        return Noted(session, port, os::SerialWrite(record->handle, data, length, written) ? 1 : 0);
    }
    return Noted(session, port, WriteInPieces(record->handle, static_cast<const uint8_t*>(data), length, written));
}

int ComRead(Session* session, uint32_t port, void* data, uint32_t length, uint32_t* got) {
    *got = 0;
    PortRecord* record = RecordOf(session, port);
    if (record == nullptr) {
        return 0;
    }
    return Noted(session, port, os::SerialRead(record->handle, data, length, got) ? 1 : 0);
}

void ComFlush(Session* session, uint32_t port) {
    uint8_t scratch = 0;
    uint32_t got = 0;
    // Ends at the first read that brings nothing; a line that never falls
    // silent still lets the host's abort end the flush.
    while (ComRead(session, port, &scratch, 1, &got) != 0 && got == 1 && !AbortRequested(session)) {
    }
}

void WatchPorts(Session* session) {
    const uint32_t now = os::TickCountMs();
    if (now - session->portWatch.lastMs < kPortWatchMs) {
        return;
    }
    session->portWatch.lastMs = now;
    for (uint32_t port = 0; port < session->portCount && port < kMaxPorts; ++port) {
        NoteIfGone(session, port);
    }
}

void ComDrain(Session* session, uint32_t port) {
    PortRecord* record = RecordOf(session, port);
    if (record != nullptr && record->handle != nullptr) {
        Noted(session, port, os::SerialDrain(record->handle) ? 1 : 0);
    }
}

void ComClose(Session* session, uint32_t port) {
    PortRecord* record = RecordOf(session, port);
    if (record == nullptr || record->handle == nullptr) {
        return;
    }
    os::SerialClose(record->handle);
    record->handle = nullptr;
    LogLine(session, "Closed %s", PortName(session, port));
}

void ComCloseAll(Session* session) {
    for (uint32_t port = 0; port < session->portCount && port < kMaxPorts; ++port) {
        ComClose(session, port);
    }
}

int ComWriteParts(Session* session, const void* part0, uint32_t length0,
                  const void* part1, uint32_t length1) {
    // Only overlapped I/O carries a second part, on port 1; a second part
    // with no port to carry it would be lost without a trace.
    const bool overlapped = session->overlappedIo == 1;
    if (length1 != 0 && (!overlapped || session->ports[1].handle == nullptr)) {
        return 0;
    }
    os::SerialDevice* second = length1 != 0 ? session->ports[1].handle : nullptr;
    if (os::SerialWriteBoth(session->ports[0].handle, part0, length0, second, part1, length1)) {
        return 1;
    }
    NoteIfGone(session, 0);
    NoteIfGone(session, 1);
    return 0;
}
