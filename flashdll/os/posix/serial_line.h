// Terminal line details of a POSIX serial device: the exclusive lock, the
// raw 8N1 line and the modem control lines. Every function returns false
// with errno set when the device refuses.
#pragma once

#include <cstdint>

namespace os {
namespace posix_line {

// True for the five PC rates the link uses: 57600 ... 921600 baud.
bool IsSupportedRate(uint32_t baud);

// Keeps further opens of the terminal out (TIOCEXCL). A device that is no
// terminal has nothing to lock; its line setup fails later and says so.
bool LockExclusive(int fd);

// Reads the terminal settings; fails when the device is no terminal.
bool ReadSettings(int fd);

// Raw 8N1 at `baud`, receiver on, modem status ignored, no RTS/CTS or
// XON/XOFF flow control, reads that never wait in the driver (VMIN = VTIME =
// 0), then DTR and RTS raised. An unsupported rate fails with EINVAL before
// the device is touched; a rate the driver does not take fails too.
bool SetRawLine(int fd, uint32_t baud);

// Waits until every byte written has left the device (tcdrain, again after
// a signal). A device that cannot be drained (no terminal) counts as drained.
bool Drain(int fd);

}  // namespace posix_line
}  // namespace os
