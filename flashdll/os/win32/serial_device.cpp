// Serial devices on Win32 COM ports. A device opened for overlapped I/O
// runs every read and write as one overlapped request without an event
// object and waits for it on the port handle; that is safe because only one
// thread uses a port and never has two requests open on the same handle.
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
};

namespace {

constexpr size_t kDevicePathSize = 256;
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

// Waits for an overlapped request issued on `handle` to finish.
bool Complete(HANDLE handle, OVERLAPPED* request, uint32_t* count) {
    DWORD done = 0;
    const BOOL ok = GetOverlappedResult(handle, request, &done, TRUE);
    *count = done;
    return ok != FALSE;
}

// Issues one overlapped write. True when the write finished at once or is
// under way; `*pending` tells which. A finished write leaves its count.
bool StartWrite(SerialDevice* device, const void* data, uint32_t length, OVERLAPPED* request,
                bool* pending, uint32_t* written) {
    ZeroMemory(request, sizeof *request);
    *pending = false;
    *written = 0;
    if (WriteFile(device->handle, data, length, nullptr, request)) {
        return Complete(device->handle, request, written);  // done: collects the count only
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
    return !pending || Complete(device->handle, &request, written);
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
    SerialDevice* device = new (std::nothrow) SerialDevice{handle, overlapped};
    if (device == nullptr) {
        CloseHandle(handle);
        Fail(ERROR_NOT_ENOUGH_MEMORY);
    }
    return device;
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
    return SetCommTimeouts(device->handle, &values) != FALSE;
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
    OVERLAPPED request;
    ZeroMemory(&request, sizeof request);
    if (!ReadFile(device->handle, data, length, nullptr, &request) && GetLastError() != ERROR_IO_PENDING) {
        return false;
    }
    // Finished at once or under way: either way the result holds the count,
    // and a read ended by its time-out completes with a short one.
    return Complete(device->handle, &request, got);
}

bool SerialWriteBoth(SerialDevice* device0, const void* data0, uint32_t length0,
                     SerialDevice* device1, const void* data1, uint32_t length1) {
    uint32_t written0 = 0;
    uint32_t written1 = 0;
    if (device1 == nullptr || length1 == 0) {
        return SerialWrite(device0, data0, length0, &written0);
    }
    if (device0 == nullptr || device0 == device1 || !device0->overlapped || !device1->overlapped) {
        // Without two overlapped devices the parts can only go one after the other.
        return SerialWrite(device0, data0, length0, &written0) &&
               SerialWrite(device1, data1, length1, &written1);
    }
    OVERLAPPED request0;
    OVERLAPPED request1;
    bool pending0 = false;
    bool pending1 = false;
    bool ok0 = length0 == 0 || StartWrite(device0, data0, length0, &request0, &pending0, &written0);
    DWORD error = ok0 ? 0 : GetLastError();
    bool ok1 = StartWrite(device1, data1, length1, &request1, &pending1, &written1);
    if (!ok1 && error == 0) {
        error = GetLastError();
    }
    // Wait for the first write, then the second: both were in flight from the start.
    if (pending0 && !Complete(device0->handle, &request0, &written0)) {
        ok0 = false;
        error = error != 0 ? error : GetLastError();
    }
    if (pending1 && !Complete(device1->handle, &request1, &written1)) {
        ok1 = false;
        error = error != 0 ? error : GetLastError();
    }
    return (ok0 && ok1) || Fail(error);
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
    delete device;
}

}  // namespace os
