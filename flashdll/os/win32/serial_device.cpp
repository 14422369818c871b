// Serial devices on Win32 COM ports. A device opened for overlapped I/O
// runs every read and write as one overlapped request with the device's own
// event; only one thread uses a port and it never has two requests open on
// the same handle.
//
// Drivers differ in how they finish overlapped reads, so reads do not rely
// on the driver alone for the time-out semantics of serial_device.h:
//  - "return at once": a driver may leave the request pending while nothing
//    has arrived (wine does, for ever). The queue is asked first and a read
//    asks for no more than is there; with nothing queued it returns 0 bytes
//    without a request.
//  - a read that runs into its total time-out may complete as a failure
//    with ERROR_TIMEOUT (wine) or ERROR_SEM_TIMEOUT rather than a success
//    with a short count (Windows' own driver): both count as a short read.
//  - a driver that ignores the total time-out altogether is cancelled a
//    grace period after the total; the bytes already read are kept.
// Windows' own driver finishes every read before the grace period ends, so
// there nothing changes.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <cstdio>
#include <new>

#include "flashdll/os/serial_device.h"

namespace os {

struct SerialDevice {
    HANDLE handle;
    bool overlapped;
    HANDLE event;              // manual-reset, for the one request in flight
    COMMTIMEOUTS timeouts;     // as last put on the port
};

namespace {

constexpr size_t kDevicePathSize = 256;
// How long past its total time-out a read may stay pending before it is
// cancelled; only for drivers that do not end reads by their time-outs.
constexpr DWORD kReadGraceMs = 500;
// The longest bounded wait; a total beyond it waits this long.
constexpr uint64_t kLongestWaitMs = 0xFFFFFFF0u;
constexpr uint32_t kPcRates[] = {57600, 115200, 230400, 460800, 921600};

bool IsSupportedRate(uint32_t baud) {
    for (uint32_t rate : kPcRates) {
        if (rate == baud) {
            return true;
        }
    }
    return false;
}

bool Fail(DWORD error) {
    SetLastError(error);
    return false;
}

// The line: binary, 8N1, no flow control of any kind, no character
// replacement, DTR and RTS held on. Every field not named stays zero.
void FillLineSettings(DCB* dcb, uint32_t baud) {
    ZeroMemory(dcb, sizeof *dcb);
    dcb->DCBlength = sizeof *dcb;
    dcb->BaudRate = baud;
    dcb->fBinary = TRUE;
    dcb->fParity = FALSE;
    dcb->fOutxCtsFlow = FALSE;
    dcb->fOutxDsrFlow = FALSE;
    dcb->fDtrControl = DTR_CONTROL_ENABLE;
    dcb->fDsrSensitivity = FALSE;
    dcb->fTXContinueOnXoff = FALSE;
    dcb->fOutX = FALSE;
    dcb->fInX = FALSE;
    dcb->fErrorChar = FALSE;
    dcb->fNull = FALSE;
    dcb->fRtsControl = RTS_CONTROL_ENABLE;
    dcb->fAbortOnError = FALSE;
    dcb->XonLim = 0;
    dcb->XoffLim = 0;
    dcb->ByteSize = 8;
    dcb->Parity = NOPARITY;
    dcb->StopBits = ONESTOPBIT;
    dcb->XonChar = 0;
    dcb->XoffChar = 0;
    dcb->ErrorChar = 0;
    dcb->EofChar = 0;
    dcb->EvtChar = 0;
}

// A zeroed request that signals the device's event when it finishes.
void PrepareRequest(SerialDevice* device, OVERLAPPED* request) {
    ZeroMemory(request, sizeof *request);
    request->hEvent = device->event;
}

// Waits for a request issued on `device` to finish and collects its count.
bool Complete(SerialDevice* device, OVERLAPPED* request, uint32_t* count) {
    DWORD done = 0;
    const BOOL ok = GetOverlappedResult(device->handle, request, &done, TRUE);
    *count = done;
    return ok != FALSE;
}

// Issues one overlapped write. True when the write finished at once or is
// under way; `*pending` tells which. A finished write leaves its count.
bool StartWrite(SerialDevice* device, const void* data, uint32_t length, OVERLAPPED* request,
                bool* pending, uint32_t* written) {
    PrepareRequest(device, request);
    *pending = false;
    *written = 0;
    if (WriteFile(device->handle, data, length, nullptr, request)) {
        return Complete(device, request, written);  // done: collects the count only
    }
    if (GetLastError() != ERROR_IO_PENDING) {
        return false;
    }
    *pending = true;
    return true;
}

bool WriteOverlapped(SerialDevice* device, const void* data, uint32_t length, uint32_t* written) {
    OVERLAPPED request;
    bool pending = false;
    if (!StartWrite(device, data, length, &request, &pending, written)) {
        return false;
    }
    return !pending || Complete(device, &request, written);
}

bool ReturnsAtOnce(const COMMTIMEOUTS& t) {
    return t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == 0 &&
           t.ReadTotalTimeoutConstant == 0;
}

// The longest a read of `length` bytes may take by the port's time-outs,
// plus the grace period.
DWORD ReadWaitLimitMs(const COMMTIMEOUTS& t, uint32_t length) {
    const uint64_t total = static_cast<uint64_t>(t.ReadTotalTimeoutConstant) +
                           static_cast<uint64_t>(t.ReadTotalTimeoutMultiplier) * length + kReadGraceMs;
    return static_cast<DWORD>(total < kLongestWaitMs ? total : kLongestWaitMs);
}

// Bytes the driver holds for reading; false when it does not tell.
bool QueuedBytes(SerialDevice* device, uint32_t* queued) {
    DWORD errors = 0;
    COMSTAT status;
    ZeroMemory(&status, sizeof status);
    if (!ClearCommError(device->handle, &errors, &status)) {
        return false;
    }
    *queued = status.cbInQue;
    return true;
}

// Waits for a pending read until `limitMs` and cancels it past that. The
// bytes it brought count in every case; a read ended by its time-out or by
// that cancel succeeds, any other failure stays one.
bool AwaitRead(SerialDevice* device, OVERLAPPED* request, DWORD limitMs, uint32_t* got) {
    const bool cancelled = WaitForSingleObject(device->event, limitMs) == WAIT_TIMEOUT &&
                           CancelIo(device->handle) != FALSE;
    if (Complete(device, request, got)) {
        return true;
    }
    const DWORD error = GetLastError();
    return error == ERROR_TIMEOUT || error == ERROR_SEM_TIMEOUT ||
           (cancelled && error == ERROR_OPERATION_ABORTED) || Fail(error);
}

bool ReadOverlapped(SerialDevice* device, void* data, uint32_t length, uint32_t* got) {
    if (ReturnsAtOnce(device->timeouts)) {
        uint32_t queued = 0;
        if (QueuedBytes(device, &queued) && queued < length) {
            length = queued;  // a request for more than is there may never finish
        }
        if (length == 0) {
            return true;
        }
    }
    OVERLAPPED request;
    PrepareRequest(device, &request);
    if (!ReadFile(device->handle, data, length, nullptr, &request) && GetLastError() != ERROR_IO_PENDING) {
        return false;
    }
    // Finished at once or under way: either way the result holds the count.
    return AwaitRead(device, &request, ReadWaitLimitMs(device->timeouts, length), got);
}

// A synchronous write can come back short only by a write time-out, which
// the link never sets; keep going as long as bytes move.
bool WriteSynchronous(SerialDevice* device, const void* data, uint32_t length, uint32_t* written) {
    const char* bytes = static_cast<const char*>(data);
    while (*written < length) {
        DWORD done = 0;
        if (!WriteFile(device->handle, bytes + *written, length - *written, &done, nullptr)) {
            return false;
        }
        if (done == 0) {
            return Fail(ERROR_WRITE_FAULT);
        }
        *written += done;
    }
    return true;
}

// The record of a freshly opened port. On failure the handle is closed,
// the error set and nullptr returned.
SerialDevice* NewDevice(HANDLE handle, bool overlapped) {
    HANDLE event = nullptr;
    if (overlapped && (event = CreateEventA(nullptr, TRUE, FALSE, nullptr)) == nullptr) {
        const DWORD error = GetLastError();
        CloseHandle(handle);
        Fail(error);
        return nullptr;
    }
    SerialDevice* device = new (std::nothrow) SerialDevice{handle, overlapped, event, {}};
    if (device == nullptr) {
        if (event != nullptr) {
            CloseHandle(event);
        }
        CloseHandle(handle);
        Fail(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    GetCommTimeouts(handle, &device->timeouts);  // the driver's own until the link sets them
    return device;
}

// Two parts can be in flight together only on two different overlapped devices.
bool CanWriteAtOnce(const SerialDevice* device0, const SerialDevice* device1) {
    return device0 != nullptr && device0 != device1 && device0->overlapped && device1->overlapped;
}

bool WriteOneAfterOther(SerialDevice* device0, const void* data0, uint32_t length0,
                        SerialDevice* device1, const void* data1, uint32_t length1) {
    uint32_t written0 = 0;
    uint32_t written1 = 0;
    return SerialWrite(device0, data0, length0, &written0) &&
           SerialWrite(device1, data1, length1, &written1);
}

// One of two writes in flight at the same time.
struct InFlight {
    SerialDevice* device;
    OVERLAPPED request;
    bool pending;
    bool ok;
    uint32_t written;
};

// The error of the first failure of the two writes is the one reported.
void KeepFirstError(DWORD* error) {
    if (*error == 0) {
        *error = GetLastError();
    }
}

// An empty part starts nothing and succeeds.
void StartPart(InFlight* part, const void* data, uint32_t length, DWORD* error) {
    part->pending = false;
    part->written = 0;
    part->ok = length == 0 ||
               StartWrite(part->device, data, length, &part->request, &part->pending, &part->written);
    if (!part->ok) {
        KeepFirstError(error);
    }
}

void FinishPart(InFlight* part, DWORD* error) {
    if (part->pending && !Complete(part->device, &part->request, &part->written)) {
        part->ok = false;
        KeepFirstError(error);
    }
}

// Both writes are started before either is waited for, so both are in flight
// from the start; then the first is waited for, then the second.
bool WriteAtOnce(SerialDevice* device0, const void* data0, uint32_t length0,
                 SerialDevice* device1, const void* data1, uint32_t length1) {
    InFlight part0 = {device0, {}, false, false, 0};
    InFlight part1 = {device1, {}, false, false, 0};
    DWORD error = 0;
    StartPart(&part0, data0, length0, &error);
    StartPart(&part1, data1, length1, &error);
    FinishPart(&part0, &error);
    FinishPart(&part1, &error);
    return (part0.ok && part1.ok) || Fail(error);
}

}  // namespace

void SerialDevicePath(uint32_t comNumber, char* buffer, size_t size) {
    if (size == 0) {
        return;
    }
    buffer[0] = '\0';
    if (comNumber == 0) {
        return;
    }
    char name[32];
    std::snprintf(name, sizeof name, "FLASHDLL_COM%u", comNumber);
    const DWORD length = GetEnvironmentVariableA(name, buffer, static_cast<DWORD>(size));
    if (length > 0 && length < size) {
        return;
    }
    // "\\.\COMn" reaches COM10 and above as well as COM1 to COM9.
    const int needed = length == 0 ? std::snprintf(buffer, size, "\\\\.\\COM%u", comNumber) : -1;
    if (needed < 0 || static_cast<size_t>(needed) >= size) {
        buffer[0] = '\0';  // a cut path would name another device
    }
}

SerialDevice* SerialOpen(uint32_t comNumber, bool overlapped) {
    char path[kDevicePathSize];
    SerialDevicePath(comNumber, path, sizeof path);
    if (path[0] == '\0') {
        Fail(ERROR_FILE_NOT_FOUND);
        return nullptr;
    }
    const HANDLE handle = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                      overlapped ? FILE_FLAG_OVERLAPPED : 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return nullptr;  // GetLastError tells why
    }
    return NewDevice(handle, overlapped);
}

uint32_t SerialLastError() { return GetLastError(); }

void SerialClearError() { SetLastError(0); }

bool SerialGetState(SerialDevice* device) {
    if (device == nullptr) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    DCB dcb;
    ZeroMemory(&dcb, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    return GetCommState(device->handle, &dcb) != FALSE;
}

bool SerialSetState(SerialDevice* device, uint32_t baud) {
    if (device == nullptr) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    if (!IsSupportedRate(baud)) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    DCB dcb;
    FillLineSettings(&dcb, baud);
    return SetCommState(device->handle, &dcb) != FALSE;
}

bool SerialGetTimeouts(SerialDevice* device, SerialTimeouts* timeouts) {
    if (device == nullptr) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    COMMTIMEOUTS values;
    if (!GetCommTimeouts(device->handle, &values)) {
        return false;
    }
    *timeouts = {values.ReadIntervalTimeout, values.ReadTotalTimeoutMultiplier,
                 values.ReadTotalTimeoutConstant, values.WriteTotalTimeoutMultiplier,
                 values.WriteTotalTimeoutConstant};
    return true;
}

bool SerialSetTimeouts(SerialDevice* device, const SerialTimeouts& timeouts) {
    if (device == nullptr) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    COMMTIMEOUTS values = {timeouts.readIntervalMs, timeouts.readTotalMultiplierMs,
                           timeouts.readTotalConstantMs, timeouts.writeTotalMultiplierMs,
                           timeouts.writeTotalConstantMs};
    // All read values 0 would make the driver wait for the full count without
    // limit; a read here never waits longer than its total, so it returns at once.
    if (values.ReadIntervalTimeout == 0 && values.ReadTotalTimeoutMultiplier == 0 &&
        values.ReadTotalTimeoutConstant == 0) {
        values.ReadIntervalTimeout = MAXDWORD;
    }
    if (!SetCommTimeouts(device->handle, &values)) {
        return false;
    }
    device->timeouts = values;
    return true;
}

bool SerialWrite(SerialDevice* device, const void* data, uint32_t length, uint32_t* written) {
    *written = 0;
    if (device == nullptr) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    if (length == 0) {
        return true;
    }
    return device->overlapped ? WriteOverlapped(device, data, length, written)
                              : WriteSynchronous(device, data, length, written);
}

bool SerialRead(SerialDevice* device, void* data, uint32_t length, uint32_t* got) {
    *got = 0;
    if (device == nullptr) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    if (!device->overlapped) {
        DWORD done = 0;
        const BOOL ok = ReadFile(device->handle, data, length, &done, nullptr);
        *got = done;
        return ok != FALSE;
    }
    return ReadOverlapped(device, data, length, got);
}

bool SerialWriteBoth(SerialDevice* device0, const void* data0, uint32_t length0,
                     SerialDevice* device1, const void* data1, uint32_t length1) {
    if (device1 == nullptr || length1 == 0) {
        uint32_t written = 0;
        return SerialWrite(device0, data0, length0, &written);
    }
    if (!CanWriteAtOnce(device0, device1)) {
        return WriteOneAfterOther(device0, data0, length0, device1, data1, length1);
    }
    return WriteAtOnce(device0, data0, length0, device1, data1, length1);
}

bool SerialDrain(SerialDevice* device) {
    if (device == nullptr) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    return FlushFileBuffers(device->handle) != FALSE;
}

// A removed device refuses even the query of its error state.
bool SerialDeviceGone(SerialDevice* device) {
    if (device == nullptr) {
        return false;
    }
    DWORD errors = 0;
    COMSTAT status;
    return ClearCommError(device->handle, &errors, &status) == FALSE;
}

void SerialClose(SerialDevice* device) {
    if (device == nullptr) {
        return;
    }
    CloseHandle(device->handle);
    if (device->event != nullptr) {
        CloseHandle(device->event);
    }
    delete device;
}

}  // namespace os
