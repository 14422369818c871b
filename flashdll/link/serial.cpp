#include "flashdll/link/serial.h"

#include "flashdll/link/com_name.h"
#include "flashdll/os/clock.h"
#include "flashdll/report/notify.h"

namespace {

constexpr uint32_t kSyncWriteChunkBytes = 4096;  // largest piece of one synchronous write
constexpr uint32_t kPollingReadConstantMs = 2;    // read wait of polling variant 1
constexpr uint32_t kPollingVariantTwoMs = 1;      // polling variant that waits 2 ms

// The record of logical `port`, or nullptr for an index no load has.
PortRecord* RecordOf(const SerialLink& link, uint32_t port) {
    return port < kMaxPorts ? &link.ports[port] : nullptr;
}

unsigned long LastError() { return static_cast<unsigned long>(os::SerialLastError()); }

const char* PortName(const SerialLink& link, uint32_t port) { return ComName(link.comIndex[port]); }

os::SerialTimeouts ReadTimeouts(uint32_t ms) { return {0, 0, ms, 0, 0}; }

os::SerialTimeouts PollingTimeouts(const SerialLink& link) {
    if (link.pollingVariant == kPollingVariantTwoMs) {
        return {0, 0, kPollingReadConstantMs, 0, 0};
    }
    return {os::kReturnAtOnceInterval, 0, 0, 0, 0};
}

// Puts a read time-out of `ms` on the device; a refusal is reported.
void ApplyReadTimeout(const SerialLink& link, PortRecord& record, uint32_t ms) {
    os::SerialTimeouts current;
    if (!os::SerialGetTimeouts(record.handle, &current) ||
        !os::SerialSetTimeouts(record.handle, ReadTimeouts(ms))) {
        PostHostMessage(link.reporter, FLASH_LEVEL_ERROR, "Error: ComSetTimout FAILED (%lu, %lu)",
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
void NoteIfGone(const SerialLink& link, uint32_t port) {
    PortRecord* record = RecordOf(link, port);
    if (record == nullptr || record->handle == nullptr || record->lost != 0 ||
        !os::SerialDeviceGone(record->handle)) {
        return;
    }
    record->lost = 1;
    PostHostMessage(link.reporter, FLASH_LEVEL_ERROR, "Error: %s has gone away", PortName(link, port));
}

int Noted(const SerialLink& link, uint32_t port, int ok) {
    if (ok == 0) {
        NoteIfGone(link, port);
    }
    return ok;
}

}  // namespace

int ComOpen(const SerialLink& link, uint32_t port, uint32_t comIndex, uint32_t baud, uint32_t timeoutMs) {
    PortRecord* record = RecordOf(link, port);
    if (record == nullptr) {
        return 0;
    }
    if (record->handle != nullptr) {
        ComClose(link, port);  // never lose an open device by overwriting its handle
    }
    os::SerialDevice* device = os::SerialOpen(comIndex + 1, link.overlappedIo == 1);
    if (device == nullptr) {
        PostHostMessage(link.reporter, FLASH_LEVEL_ERROR, "Error: Could not open %s at %u Baud (%lu)",
                        ComName(comIndex), baud, LastError());
        return 0;
    }
    record->handle = device;
    record->pollingActive = 0;
    record->lost = 0;
    if (ComSetBaud(link, port, baud) == 0) {
        PostHostMessage(link.reporter, FLASH_LEVEL_WARNING, "Error: Could not set %s at %u Baud (%lu)",
                        ComName(comIndex), baud, LastError());
        return 0;
    }
    LogLine(link.reporter, "Opened %s at %u baud", ComName(comIndex), baud);
    os::SerialClearError();
    // A fresh device has no time-outs of its own yet, so the time-out goes on
    // even when the record already names the same value.
    ApplyReadTimeout(link, *record, timeoutMs);
    record->readTimeoutMs = timeoutMs;
    return 1;
}

int ComSetBaud(const SerialLink& link, uint32_t port, uint32_t baud) {
    PortRecord* record = RecordOf(link, port);
    if (record == nullptr) {
        return 0;
    }
    if (!os::SerialGetState(record->handle)) {
        PostHostMessage(link.reporter, FLASH_LEVEL_ERROR, "Error: GetCommState FAILED (%lu)", LastError());
        NoteIfGone(link, port);
        return 0;
    }
    // Bytes still on their way would go out at the new rate, garbled.
    ComDrain(link, port);
    // The device layer builds the whole line from nothing (raw 8N1, no flow
    // control, DTR and RTS on) and refuses every rate but the five PC speeds
    // without touching the device.
    if (!os::SerialSetState(record->handle, baud)) {
        NoteIfGone(link, port);
        return 0;
    }
    record->baudRate = baud;
    return 1;
}

uint32_t ComSetTimout(const SerialLink& link, uint32_t port, uint32_t timeoutMs) {
    PortRecord* record = RecordOf(link, port);
    if (record == nullptr) {
        return 0;
    }
    const uint32_t previous = record->readTimeoutMs;
    if (previous == timeoutMs) {
        return previous;
    }
    ApplyReadTimeout(link, *record, timeoutMs);
    record->readTimeoutMs = timeoutMs;
    return previous;
}

void ComPolling(const SerialLink& link, uint32_t port, int on) {
    PortRecord* record = RecordOf(link, port);
    if (record == nullptr || (record->pollingActive != 0) == (on != 0)) {
        return;
    }
    if (on != 0) {
        os::SerialGetTimeouts(record->handle, &record->savedTimeouts);
        os::SerialSetTimeouts(record->handle, PollingTimeouts(link));
        record->pollingActive = 1;
    } else {
        os::SerialSetTimeouts(record->handle, record->savedTimeouts);
        record->pollingActive = 0;
    }
}

int ComWrite(const SerialLink& link, uint32_t port, const void* data, uint32_t length, uint32_t* written) {
    *written = 0;
    PortRecord* record = RecordOf(link, port);
    if (record == nullptr) {
        return 0;
    }
    if (link.overlappedIo == 1) {
        // One request for the whole buffer; its completion decides the result.
        return Noted(link, port, os::SerialWrite(record->handle, data, length, written) ? 1 : 0);
    }
    return Noted(link, port, WriteInPieces(record->handle, static_cast<const uint8_t*>(data), length, written));
}

int ComRead(const SerialLink& link, uint32_t port, void* data, uint32_t length, uint32_t* got) {
    *got = 0;
    PortRecord* record = RecordOf(link, port);
    if (record == nullptr) {
        return 0;
    }
    return Noted(link, port, os::SerialRead(record->handle, data, length, got) ? 1 : 0);
}

void ComFlush(const SerialLink& link, uint32_t port) {
    uint8_t scratch = 0;
    uint32_t got = 0;
    // Ends at the first read that brings nothing; a line that never falls
    // silent still lets the host's abort end the flush.
    while (ComRead(link, port, &scratch, 1, &got) != 0 && got == 1 && !AbortRequested(link)) {
    }
}

void WatchPorts(const SerialLink& link) {
    const uint32_t now = os::TickCountMs();
    if (now - link.watch->lastMs < kPortWatchMs) {
        return;
    }
    link.watch->lastMs = now;
    for (uint32_t port = 0; port < link.portCount && port < kMaxPorts; ++port) {
        NoteIfGone(link, port);
    }
}

void ComDrain(const SerialLink& link, uint32_t port) {
    PortRecord* record = RecordOf(link, port);
    if (record != nullptr && record->handle != nullptr) {
        Noted(link, port, os::SerialDrain(record->handle) ? 1 : 0);
    }
}

void ComClose(const SerialLink& link, uint32_t port) {
    PortRecord* record = RecordOf(link, port);
    if (record == nullptr || record->handle == nullptr) {
        return;
    }
    os::SerialClose(record->handle);
    record->handle = nullptr;
    LogLine(link.reporter, "Closed %s", PortName(link, port));
}

void ComCloseAll(const SerialLink& link) {
    for (uint32_t port = 0; port < link.portCount && port < kMaxPorts; ++port) {
        ComClose(link, port);
    }
}

int ComWriteParts(const SerialLink& link, const void* part0, uint32_t length0,
                  const void* part1, uint32_t length1) {
    // Only overlapped I/O carries a second part, on port 1; a second part
    // with no port to carry it would be lost without a trace.
    const bool overlapped = link.overlappedIo == 1;
    if (length1 != 0 && (!overlapped || link.ports[1].handle == nullptr)) {
        return 0;
    }
    os::SerialDevice* second = length1 != 0 ? link.ports[1].handle : nullptr;
    if (os::SerialWriteBoth(link.ports[0].handle, part0, length0, second, part1, length1)) {
        return 1;
    }
    NoteIfGone(link, 0);
    NoteIfGone(link, 1);
    return 0;
}
