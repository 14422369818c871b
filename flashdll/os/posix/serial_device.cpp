// Serial devices on POSIX terminals. The descriptor is always non-blocking;
// every wait happens in poll(), so read time-outs follow the five time-out
// values exactly and writes to two devices can run side by side.
#include "flashdll/os/serial_device.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <new>

#include "flashdll/os/posix/serial_line.h"

namespace os {

struct SerialDevice {
    int fd;
    bool overlapped;  // every POSIX device can take part in SerialWriteBoth
    SerialTimeouts timeouts;
    bool gone;        // hung up or unplugged: nothing will ever move again
};

namespace {

constexpr size_t kDevicePathSize = 256;
constexpr int64_t kNsPerMs = 1000000;

thread_local uint32_t t_lastError = 0;

bool Fail(int error) {
    t_lastError = static_cast<uint32_t>(error);
    return false;
}

// The errors of a device that has gone away (a pulled adapter, a terminal
// whose other side closed).
bool GoneError(int error) { return error == EIO || error == ENXIO || error == ENODEV || error == EPIPE; }

bool FailOn(SerialDevice* device, int error) {
    if (GoneError(error)) {
        device->gone = true;
    }
    return Fail(error);
}

int64_t MonotonicNs() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// Rounded up, so that a wait never ends before the deadline.
int PollTimeoutMs(int64_t remainingNs) {
    const int64_t ms = (remainingNs + kNsPerMs - 1) / kNsPerMs;
    return ms > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(ms);
}

int64_t ReadBudgetNs(const SerialTimeouts& t, uint32_t length) {
    const uint64_t ms = static_cast<uint64_t>(t.readTotalConstantMs) +
                        static_cast<uint64_t>(t.readTotalMultiplierMs) * length;
    return static_cast<int64_t>(ms) * kNsPerMs;
}

// Reads what is there now: the count (0 when nothing waits), or -1 with
// errno set on a real failure.
ssize_t ReadAvailable(int fd, uint8_t* data, size_t length) {
    for (;;) {
        const ssize_t n = read(fd, data, length);
        if (n >= 0) {
            return n;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            return 0;
        }
        if (errno != EINTR) {
            return -1;
        }
    }
}

// Waits for `events` on one descriptor. Returns the revents (0 on time-out),
// or -1 with errno set. A signal ends the wait early; the caller recomputes
// its deadline and waits again.
int WaitFor(int fd, short events, int timeoutMs) {
    pollfd entry = {fd, events, 0};
    const int ready = poll(&entry, 1, timeoutMs);
    if (ready < 0) {
        return errno == EINTR ? 0 : -1;
    }
    return ready == 0 ? 0 : entry.revents;
}

constexpr short kBroken = POLLERR | POLLHUP | POLLNVAL;

// One part of a write in progress.
struct PendingWrite {
    SerialDevice* device;
    const uint8_t* data;
    uint32_t length;
    uint32_t done;
    int error;  // 0 while healthy
};

bool Finished(const PendingWrite& part) { return part.error != 0 || part.done == part.length; }

// Hands over as much as the device takes now; records a hard failure.
void WriteWhatFits(PendingWrite& part) {
    while (part.done < part.length) {
        const ssize_t n = write(part.device->fd, part.data + part.done, part.length - part.done);
        if (n > 0) {
            part.done += static_cast<uint32_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
                part.error = errno;
            }
            return;
        }
    }
}

// Writes every part to the end, waiting in one poll() over all devices
// that are full. A device that fails drops out; the others go on.
bool WriteParts(PendingWrite* parts, size_t count) {
    for (;;) {
        pollfd waits[2];
        PendingWrite* waiting[2];
        nfds_t n = 0;
        for (size_t i = 0; i < count; ++i) {
            WriteWhatFits(parts[i]);
            if (!Finished(parts[i])) {
                waits[n] = {parts[i].device->fd, POLLOUT, 0};
                waiting[n++] = &parts[i];
            }
        }
        if (n == 0) {
            break;
        }
        if (poll(waits, n, -1) < 0 && errno != EINTR) {
            for (nfds_t i = 0; i < n; ++i) {
                waiting[i]->error = errno;
            }
        }
        for (nfds_t i = 0; i < n; ++i) {
            if ((waits[i].revents & kBroken) != 0 && (waits[i].revents & POLLOUT) == 0) {
                waiting[i]->error = EIO;
            }
        }
    }
    bool ok = true;
    for (size_t i = 0; i < count; ++i) {
        if (parts[i].error != 0) {
            ok = FailOn(parts[i].device, parts[i].error);
        }
    }
    return ok;
}

// Polling reads never wait, so they look for a hang-up themselves: a hung-up
// terminal reads as empty, not as failed.
bool HungUp(int fd) {
    const int revents = WaitFor(fd, POLLIN, 0);
    return revents > 0 && (revents & kBroken) != 0;
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
    const char* chosen = std::getenv(name);
    const int needed = chosen != nullptr ? std::snprintf(buffer, size, "%s", chosen)
                                         : std::snprintf(buffer, size, "/dev/ttyS%u", comNumber - 1);
    // A cut path would name another device: better none at all.
    if (needed < 0 || static_cast<size_t>(needed) >= size) {
        buffer[0] = '\0';
    }
}

SerialDevice* SerialOpen(uint32_t comNumber, bool overlapped) {
    char path[kDevicePathSize];
    SerialDevicePath(comNumber, path, sizeof path);
    if (path[0] == '\0') {
        Fail(ENOENT);
        return nullptr;
    }
    const int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        Fail(errno);
        return nullptr;
    }
    if (!posix_line::LockExclusive(fd)) {
        const int error = errno;
        close(fd);
        Fail(error);
        return nullptr;
    }
    SerialDevice* device = new (std::nothrow) SerialDevice{fd, overlapped, {}, false};
    if (device == nullptr) {
        close(fd);
        Fail(ENOMEM);
    }
    return device;
}

uint32_t SerialLastError() { return t_lastError; }

void SerialClearError() { t_lastError = 0; }

bool SerialGetState(SerialDevice* device) {
    if (device == nullptr) {
        return Fail(EBADF);
    }
    return posix_line::ReadSettings(device->fd) || FailOn(device, errno);
}

bool SerialSetState(SerialDevice* device, uint32_t baud) {
    if (device == nullptr) {
        return Fail(EBADF);
    }
    return posix_line::SetRawLine(device->fd, baud) || FailOn(device, errno);
}

bool SerialGetTimeouts(SerialDevice* device, SerialTimeouts* timeouts) {
    if (device == nullptr) {
        return Fail(EBADF);
    }
    *timeouts = device->timeouts;
    return true;
}

bool SerialSetTimeouts(SerialDevice* device, const SerialTimeouts& timeouts) {
    if (device == nullptr) {
        return Fail(EBADF);
    }
    device->timeouts = timeouts;
    return true;
}

bool SerialWrite(SerialDevice* device, const void* data, uint32_t length, uint32_t* written) {
    *written = 0;
    if (device == nullptr) {
        return Fail(EBADF);
    }
    if (device->gone) {
        return Fail(EIO);
    }
    PendingWrite part = {device, static_cast<const uint8_t*>(data), length, 0, 0};
    const bool ok = WriteParts(&part, 1);
    *written = part.done;
    return ok;
}

bool SerialRead(SerialDevice* device, void* data, uint32_t length, uint32_t* got) {
    *got = 0;
    if (device == nullptr) {
        return Fail(EBADF);
    }
    if (device->gone) {
        return Fail(EIO);
    }
    uint8_t* bytes = static_cast<uint8_t*>(data);
    const bool atOnce = IsReturnAtOnce(device->timeouts);
    const int64_t deadline = MonotonicNs() + ReadBudgetNs(device->timeouts, length);
    bool hungUp = false;
    while (*got < length) {
        const ssize_t n = ReadAvailable(device->fd, bytes + *got, length - *got);
        if (n < 0) {
            return FailOn(device, errno);
        }
        *got += static_cast<uint32_t>(n);
        if (n > 0) {
            continue;
        }
        if (hungUp || (atOnce && HungUp(device->fd))) {
            return FailOn(device, EIO);  // the other end is gone and nothing is left
        }
        const int64_t remaining = deadline - MonotonicNs();
        if (atOnce || remaining <= 0) {
            break;
        }
        const int revents = WaitFor(device->fd, POLLIN, PollTimeoutMs(remaining));
        if (revents < 0) {
            return Fail(errno);
        }
        // A hung-up terminal also reports POLLIN, yet reads give 0 bytes:
        // the next empty read ends the wait instead of spinning to the deadline.
        hungUp = (revents & kBroken) != 0;
    }
    return true;
}

bool SerialWriteBoth(SerialDevice* device0, const void* data0, uint32_t length0,
                     SerialDevice* device1, const void* data1, uint32_t length1) {
    uint32_t written = 0;
    if (device1 == nullptr || length1 == 0) {
        return SerialWrite(device0, data0, length0, &written);
    }
    if (device0 == nullptr) {
        return Fail(EBADF);
    }
    if (device0 == device1) {
        // One device cannot carry two parts at once without mixing them.
        return SerialWrite(device0, data0, length0, &written) &&
               SerialWrite(device1, data1, length1, &written);
    }
    PendingWrite parts[2] = {
        {device0, static_cast<const uint8_t*>(data0), length0, 0, 0},
        {device1, static_cast<const uint8_t*>(data1), length1, 0, 0},
    };
    return WriteParts(parts, 2);
}

bool SerialDrain(SerialDevice* device) {
    if (device == nullptr) {
        return Fail(EBADF);
    }
    if (device->gone) {
        return Fail(EIO);
    }
    return posix_line::Drain(device->fd) || FailOn(device, errno);
}

bool SerialDeviceGone(SerialDevice* device) {
    if (device != nullptr && !device->gone && HungUp(device->fd)) {
        device->gone = true;
    }
    return device != nullptr && device->gone;
}

void SerialClose(SerialDevice* device) {
    if (device == nullptr) {
        return;
    }
    close(device->fd);
    delete device;
}

}  // namespace os
