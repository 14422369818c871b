// Serial devices: the whole platform surface of the serial link.
//
// A device is opened exclusively, raw, 8 data bits, no parity, 1 stop bit,
// no flow control, with DTR and RTS held on where the device supports it.
// Reads follow five time-out values in the manner of the link layer above:
//  - readInterval = 0xFFFFFFFF, multiplier 0, constant 0: a read returns at
//    once with whatever bytes have already arrived, possibly none;
//  - otherwise a read returns when the requested count has arrived or when
//    readTotalConstantMs + n * readTotalMultiplierMs have passed since it
//    started, whichever comes first (a short count is not an error). A total
//    of 0 therefore returns at once: no read waits without limit.
// The link sets no read interval but 0 and 0xFFFFFFFF; a device may ignore
// any other.
// Writes never time out: they return when every byte was handed to the device.
#pragma once

#include <cstddef>
#include <cstdint>

namespace os {

struct SerialDevice;

struct SerialTimeouts {
    uint32_t readIntervalMs;
    uint32_t readTotalMultiplierMs;
    uint32_t readTotalConstantMs;
    uint32_t writeTotalMultiplierMs;
    uint32_t writeTotalConstantMs;
};

// The read interval that, with multiplier and constant 0, makes reads
// return at once.
constexpr uint32_t kReturnAtOnceInterval = 0xFFFFFFFFu;
inline bool IsReturnAtOnce(const SerialTimeouts& t) {
    return t.readIntervalMs == kReturnAtOnceInterval && t.readTotalMultiplierMs == 0 &&
           t.readTotalConstantMs == 0;
}

// The device behind COM number `comNumber` (1-based): the value of the
// environment variable FLASHDLL_COM<n> when set, otherwise the system's
// default device for that number (/dev/ttyS<n-1> on POSIX).
void SerialDevicePath(uint32_t comNumber, char* buffer, size_t size);

// Opens COM `comNumber` for reading and writing, not shared. `overlapped`
// asks for a device that can take part in SerialWriteBoth. On failure
// returns nullptr and SerialLastError() tells why.
SerialDevice* SerialOpen(uint32_t comNumber, bool overlapped);

// The system error code of the last failed serial call on this thread
// (errno on POSIX, GetLastError on Windows); SerialClearError() sets it to 0.
uint32_t SerialLastError();
void SerialClearError();

// Reads the line settings (the device must answer); false when it cannot.
bool SerialGetState(SerialDevice* device);
// Sets raw 8N1 at `baud` without flow control, DTR and RTS on. Only the
// rates 57600, 115200, 230400, 460800 and 921600 are accepted.
bool SerialSetState(SerialDevice* device, uint32_t baud);

bool SerialGetTimeouts(SerialDevice* device, SerialTimeouts* timeouts);
bool SerialSetTimeouts(SerialDevice* device, const SerialTimeouts& timeouts);

// Writes all `length` bytes; `*written` receives the count handed over.
bool SerialWrite(SerialDevice* device, const void* data, uint32_t length, uint32_t* written);
// Reads up to `length` bytes under the device's time-outs; `*got` receives
// the count read. A read ended by its time-out succeeds with a short count.
bool SerialRead(SerialDevice* device, void* data, uint32_t length, uint32_t* got);

// Writes `length0` bytes on `device0` and `length1` bytes on `device1` at the
// same time and returns when both are written. `device1` may be nullptr
// (then only the first part is written).
bool SerialWriteBoth(SerialDevice* device0, const void* data0, uint32_t length0,
                     SerialDevice* device1, const void* data1, uint32_t length1);

// Returns once every byte written to the device has left it (a line speed
// change or a pause before a transfer relies on that). False on failure.
bool SerialDrain(SerialDevice* device);

// True when the device has gone: a USB serial adapter pulled, a terminal
// hung up. Asked after a read or write failed, and now and then of a device
// in use; it asks the device without waiting. Every later read and write
// on such a device fails at once.
bool SerialDeviceGone(SerialDevice* device);

void SerialClose(SerialDevice* device);

}  // namespace os
