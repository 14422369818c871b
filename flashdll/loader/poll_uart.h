// The step both the switch-over and the connection test of the flash loader
// handshake begin with: asking a port which handset UART it reaches.
#pragma once

#include <cstdint>

struct Session;

// Sends "*" on `port` in polling mode until "#A" or "#B" answers, for at
// most `windowMs`. SUCCESS with the UART number (0 for A, 1 for B),
// ERR_ABORT when the host aborted, ERR_TIMEOUT when no answer came. The
// caller sets the port's read time-out before and leaves polling mode after.
uint32_t PollForUart(Session* session, uint32_t port, uint32_t windowMs, uint32_t* uart);
