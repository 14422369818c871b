#include "flashdll/os/posix/serial_line.h"

#include <sys/ioctl.h>
#include <termios.h>

#include <cerrno>
#include <cstring>

namespace os {
namespace posix_line {

namespace {

struct RateEntry {
    uint32_t baud;
    speed_t code;
};

constexpr RateEntry kRates[] = {
    {57600, B57600}, {115200, B115200}, {230400, B230400}, {460800, B460800}, {921600, B921600},
};

// The termios speed code of `baud`, or B0 when the rate is not one of ours.
speed_t SpeedCode(uint32_t baud) {
    for (const RateEntry& entry : kRates) {
        if (entry.baud == baud) {
            return entry.code;
        }
    }
    return B0;
}

// Some drivers accept tcsetattr but round the rate to what the hardware can
// do; speed probing must see that as a refusal.
bool SpeedTookEffect(int fd, speed_t code) {
    termios now;
    if (tcgetattr(fd, &now) != 0) {
        return false;
    }
    if (cfgetospeed(&now) != code || cfgetispeed(&now) != code) {
        errno = EINVAL;
        return false;
    }
    return true;
}

// Pseudo-terminals and some adapters have no modem lines: ENOTTY or EINVAL
// there just means there is nothing to raise.
bool RaiseDtrAndRts(int fd) {
    int lines = TIOCM_DTR | TIOCM_RTS;
    if (ioctl(fd, TIOCMBIS, &lines) == 0) {
        return true;
    }
    return errno == ENOTTY || errno == EINVAL;
}

}  // namespace

bool IsSupportedRate(uint32_t baud) { return SpeedCode(baud) != B0; }

bool LockExclusive(int fd) { return ioctl(fd, TIOCEXCL) == 0 || errno == ENOTTY; }

bool ReadSettings(int fd) {
    termios settings;
    return tcgetattr(fd, &settings) == 0;
}

bool SetRawLine(int fd, uint32_t baud) {
    const speed_t code = SpeedCode(baud);
    if (code == B0) {
        errno = EINVAL;
        return false;
    }
    // Built from nothing, so no setting of an earlier user of the device
    // (echo, line editing, CR/LF mapping, flow control) survives.
    termios settings;
    std::memset(&settings, 0, sizeof settings);
    settings.c_cflag = CS8 | CLOCAL | CREAD;
    settings.c_cc[VMIN] = 0;
    settings.c_cc[VTIME] = 0;
    if (cfsetispeed(&settings, code) != 0 || cfsetospeed(&settings, code) != 0) {
        return false;
    }
    if (tcsetattr(fd, TCSANOW, &settings) != 0 || !SpeedTookEffect(fd, code)) {
        return false;
    }
    return RaiseDtrAndRts(fd);
}

bool Drain(int fd) {
    while (tcdrain(fd) != 0) {
        if (errno == ENOTTY || errno == EINVAL) {
            return true;
        }
        if (errno != EINTR) {
            return false;
        }
    }
    return true;
}

}  // namespace posix_line
}  // namespace os
