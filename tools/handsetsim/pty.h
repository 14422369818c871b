// One pseudo-terminal pair standing for one UART of the handset. The
// handset keeps the master; the PC side (the library, a test) opens the
// slave path. The handset also holds one slave descriptor of its own so that
// the line never hangs up while the PC closes and reopens the slave, and so
// that line settings carry over between opens.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include <sys/types.h>

namespace handsetsim {

struct Pty {
    int master = -1;     // non-blocking
    int heldSlave = -1;  // never read or written; keeps the line up
    std::string path;    // "/dev/pts/N"
};

// Opens a pair, puts the line into raw mode at 115200 baud. False (and a
// reason) when the system refuses.
bool OpenPty(Pty* pty, std::string* error);
void ClosePty(Pty* pty);

// Non-blocking reads and writes on the master. They return the byte count,
// 0 when nothing could move right now (EAGAIN, EINTR, or EIO while no slave
// is open), and -1 on any other error.
ssize_t ReadMaster(const Pty& pty, uint8_t* out, size_t max);
ssize_t WriteMaster(const Pty& pty, const uint8_t* data, size_t count);

// The speed the PC side has set on the line (baud), 0 when unknown.
uint32_t PcLineSpeed(const Pty& pty);

}  // namespace handsetsim
