#include "tools/handsetsim/pty.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

namespace handsetsim {

namespace {

constexpr speed_t kInitialSpeed = B115200;

struct SpeedEntry {
    speed_t code;
    uint32_t baud;
};

constexpr SpeedEntry kSpeeds[] = {
    {B9600, 9600},     {B19200, 19200},   {B38400, 38400},   {B57600, 57600},
    {B115200, 115200}, {B230400, 230400}, {B460800, 460800}, {B921600, 921600},
};

std::string SystemError(const char* what) {
    return std::string(what) + ": " + std::strerror(errno);
}

bool MakeRaw(int fd, std::string* error) {
    termios tio{};
    if (tcgetattr(fd, &tio) != 0) {
        *error = SystemError("tcgetattr");
        return false;
    }
    cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    cfsetispeed(&tio, kInitialSpeed);
    cfsetospeed(&tio, kInitialSpeed);
    if (tcsetattr(fd, TCSANOW, &tio) != 0) {
        *error = SystemError("tcsetattr");
        return false;
    }
    return true;
}

bool OpenMaster(Pty* pty, std::string* error) {
    pty->master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (pty->master < 0) {
        *error = SystemError("posix_openpt");
        return false;
    }
    if (grantpt(pty->master) != 0 || unlockpt(pty->master) != 0) {
        *error = SystemError("grantpt/unlockpt");
        return false;
    }
    char name[128];
    if (ptsname_r(pty->master, name, sizeof name) != 0) {
        *error = SystemError("ptsname_r");
        return false;
    }
    pty->path = name;
    return true;
}

}  // namespace

bool OpenPty(Pty* pty, std::string* error) {
    if (!OpenMaster(pty, error)) {
        ClosePty(pty);
        return false;
    }
    pty->heldSlave = open(pty->path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (pty->heldSlave < 0) {
        *error = SystemError(pty->path.c_str());
        ClosePty(pty);
        return false;
    }
    if (!MakeRaw(pty->heldSlave, error)) {
        ClosePty(pty);
        return false;
    }
    return true;
}

void ClosePty(Pty* pty) {
    if (pty->heldSlave >= 0) {
        close(pty->heldSlave);
    }
    if (pty->master >= 0) {
        close(pty->master);
    }
    pty->heldSlave = -1;
    pty->master = -1;
}

ssize_t ReadMaster(const Pty& pty, uint8_t* out, size_t max) {
    ssize_t got = read(pty.master, out, max);
    if (got >= 0) {
        return got;
    }
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR || errno == EIO) {
        return 0;
    }
    return -1;
}

ssize_t WriteMaster(const Pty& pty, const uint8_t* data, size_t count) {
    ssize_t put = write(pty.master, data, count);
    if (put >= 0) {
        return put;
    }
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR || errno == EIO) {
        return 0;
    }
    return -1;
}

uint32_t PcLineSpeed(const Pty& pty) {
    termios tio{};
    if (tcgetattr(pty.master, &tio) != 0) {
        return 0;
    }
    speed_t code = cfgetospeed(&tio);
    for (const SpeedEntry& entry : kSpeeds) {
        if (entry.code == code) {
            return entry.baud;
        }
    }
    return 0;
}

}  // namespace handsetsim
