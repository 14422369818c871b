// Serial devices of fuzz builds: every device reads the one script of bytes
// set by ResetLine and swallows what is written to it. Reads keep the time-out
// rules of the real devices on the virtual clock: a read returns when its
// count has arrived, or, short, once its time-out has passed.
#include "flashdll/os/serial_device.h"

#include <algorithm>
#include <cstdio>

#include "flashdll/os/fuzz/fuzz_clock.h"
#include "flashdll/os/fuzz/fuzz_line.h"

namespace os {

struct SerialDevice {
    uint32_t baud;
    SerialTimeouts timeouts;
};

namespace {

constexpr uint32_t kBitsPerByte = 10;            // 8N1 with its start and stop bits
constexpr uint64_t kUsPerSecond = 1000000;
constexpr uint64_t kAtOnceReadUs = 100;          // what a read that waits for nothing costs
constexpr size_t kMaxSilences = 64;
constexpr uint32_t kNoError = 0;
constexpr uint32_t kBadDevice = 9;               // EBADF

struct Line {
    const uint8_t* data = nullptr;
    size_t size = 0;
    size_t position = 0;
    size_t silences[kMaxSilences] = {};
    size_t silenceCount = 0;
    size_t nextSilence = 0;
    void (*exhausted)(void*) = nullptr;
    void* context = nullptr;
    uint64_t written = 0;
    uint32_t openDevices = 0;
};

Line g_line;
uint32_t g_lastError = kNoError;

bool Fail(uint32_t error) {
    g_lastError = error;
    return false;
}

bool IsAcceptedRate(uint32_t baud) {
    return baud == 57600 || baud == 115200 || baud == 230400 || baud == 460800 || baud == 921600;
}

void PassLineTime(const SerialDevice* device, uint64_t bytes) {
    fuzz::AdvanceClockUs(bytes * kBitsPerByte * kUsPerSecond / device->baud);
}

// The wait of a read that ended short: none in the at-once mode, otherwise
// the whole time-out.
void PassReadTimeout(const SerialDevice* device, uint32_t length) {
    const SerialTimeouts& t = device->timeouts;
    if (IsReturnAtOnce(t)) {
        fuzz::AdvanceClockUs(kAtOnceReadUs);
        return;
    }
    const uint64_t ms = static_cast<uint64_t>(t.readTotalConstantMs) +
                        static_cast<uint64_t>(t.readTotalMultiplierMs) * length;
    fuzz::AdvanceClockUs(std::max<uint64_t>(ms * 1000u, kAtOnceReadUs));
}

// True when a silence is due before the next byte; it is used up.
bool TakeSilence() {
    if (g_line.nextSilence < g_line.silenceCount && g_line.silences[g_line.nextSilence] <= g_line.position) {
        ++g_line.nextSilence;
        return true;
    }
    return false;
}

}  // namespace

namespace fuzz {

void ResetLine(const uint8_t* data, size_t size) {
    const uint32_t open = g_line.openDevices;
    g_line = Line{};
    g_line.data = data;
    g_line.size = size;
    g_line.openDevices = open;
}

void AddSilence(size_t offset) {
    if (g_line.silenceCount == kMaxSilences) return;
    size_t* end = g_line.silences + g_line.silenceCount;
    *end = std::min(offset, g_line.size);
    std::sort(g_line.silences, end + 1);
    ++g_line.silenceCount;
}

void OnLineExhausted(void (*hook)(void* context), void* context) {
    g_line.exhausted = hook;
    g_line.context = context;
}

uint64_t BytesWritten() { return g_line.written; }

uint32_t OpenDevices() { return g_line.openDevices; }

}  // namespace fuzz

void SerialDevicePath(uint32_t comNumber, char* buffer, size_t size) {
    if (size == 0) return;
    buffer[0] = '\0';
    if (comNumber != 0) std::snprintf(buffer, size, "fuzz-line-%u", comNumber);
}

SerialDevice* SerialOpen(uint32_t comNumber, bool) {
    if (comNumber == 0) {
        Fail(kBadDevice);
        return nullptr;
    }
    ++g_line.openDevices;
    return new SerialDevice{115200, {}};
}

uint32_t SerialLastError() { return g_lastError; }

void SerialClearError() { g_lastError = kNoError; }

bool SerialGetState(SerialDevice* device) { return device != nullptr || Fail(kBadDevice); }

bool SerialSetState(SerialDevice* device, uint32_t baud) {
    if (device == nullptr) return Fail(kBadDevice);
    if (!IsAcceptedRate(baud)) return false;
    device->baud = baud;
    return true;
}

bool SerialGetTimeouts(SerialDevice* device, SerialTimeouts* timeouts) {
    if (device == nullptr) return Fail(kBadDevice);
    *timeouts = device->timeouts;
    return true;
}

bool SerialSetTimeouts(SerialDevice* device, const SerialTimeouts& timeouts) {
    if (device == nullptr) return Fail(kBadDevice);
    device->timeouts = timeouts;
    return true;
}

bool SerialWrite(SerialDevice* device, const void* data, uint32_t length, uint32_t* written) {
    *written = 0;
    if (device == nullptr || (data == nullptr && length > 0)) return Fail(kBadDevice);
    // Touch every byte, so that a write from outside its buffer shows.
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    uint32_t sum = 0;
    for (uint32_t i = 0; i < length; ++i) sum += bytes[i];
    (void)sum;
    g_line.written += length;
    PassLineTime(device, length);
    *written = length;
    return true;
}

bool SerialRead(SerialDevice* device, void* data, uint32_t length, uint32_t* got) {
    *got = 0;
    if (device == nullptr) return Fail(kBadDevice);
    uint8_t* bytes = static_cast<uint8_t*>(data);
    while (*got < length && !TakeSilence()) {
        if (g_line.position == g_line.size) {
            if (g_line.exhausted != nullptr) g_line.exhausted(g_line.context);
            break;
        }
        bytes[(*got)++] = g_line.data[g_line.position++];
    }
    PassLineTime(device, *got);
    if (*got < length) PassReadTimeout(device, length);
    return true;
}

bool SerialWriteBoth(SerialDevice* device0, const void* data0, uint32_t length0,
                     SerialDevice* device1, const void* data1, uint32_t length1) {
    uint32_t written = 0;
    if (!SerialWrite(device0, data0, length0, &written)) return false;
    return device1 == nullptr || length1 == 0 || SerialWrite(device1, data1, length1, &written);
}

// Bytes leave the in-memory line as they are written.
bool SerialDrain(SerialDevice* device) { return device != nullptr || Fail(kBadDevice); }

// The in-memory line never goes away: a script that runs out sets the
// abort flag instead.
bool SerialDeviceGone(SerialDevice*) { return false; }

void SerialClose(SerialDevice* device) {
    if (device == nullptr) return;
    --g_line.openDevices;
    delete device;
}

}  // namespace os
