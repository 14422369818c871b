// The serial link: the per-port state of a load and the operations every
// dialogue uses to touch a port. Only this unit opens, configures or closes
// a port. Operations report problems as host messages and log lines and
// return plain success flags; callers choose the error code.
#pragma once

#include <atomic>
#include <cstdint>

#include "flashdll/os/serial_device.h"
#include "flashdll/report/reporter.h"

constexpr uint32_t kMaxPorts = 2;
constexpr uint32_t kPcSpeedCount = 5;

struct PortRecord {
    os::SerialDevice* handle;          // nullptr when closed
    uint32_t uartNumber;               // handset UART this port reaches (0 or 1)
    uint32_t supportedSpeedCount;      // valid entries in supportedSpeeds
    uint32_t linkSpeed;                // agreed transfer rate in baud
    uint32_t transferShare;            // percent of the summed baud rates
    uint32_t supportedSpeeds[kPcSpeedCount];  // rates accepted when probed, ascending
    uint32_t readTimeoutMs;            // last requested through ComSetTimout
    uint8_t pollingActive;             // 1 while in polling mode
    os::SerialTimeouts savedTimeouts;  // time-outs in force when polling was entered
    uint32_t baudRate;                 // PC-side rate last set by ComSetBaud
    uint16_t checkedUart;              // UART recorded by CheckConnection
    uint8_t lost;                      // 1 once the device has gone (kept after the close)
};

struct PortWatch {
    uint32_t lastMs;  // tick count of the last look at the ports
};

// What the port operations work with: the load's port records and the
// settings that say how they are used. Made afresh for each call by its
// owner (the session); it refers to the owner's records.
struct SerialLink {
    PortRecord* ports;                      // kMaxPorts records
    uint32_t portCount;                     // ports the load uses
    uint32_t overlappedIo;                  // 1: overlapped writes, both ports at once
    uint32_t pollingVariant;                // the option pollingvariant
    const uint32_t* comIndex;               // COM index of each logical port, for its name
    PortWatch* watch;
    const std::atomic<uint8_t>* abortFlag;  // set when the host asks for an abort
    Reporter reporter;
};

// Opens logical `port` on COM `comIndex` (0-based) at `baud` and sets its read
// time-out. 1 opened, 0 failed (a handle that opened stays in the record).
int ComOpen(const SerialLink& link, uint32_t port, uint32_t comIndex, uint32_t baud, uint32_t timeoutMs);
// Nonzero when the rate (one of the five PC speeds) was set.
int ComSetBaud(const SerialLink& link, uint32_t port, uint32_t baud);
// Sets the read time-out; returns the previous one. No system call when unchanged.
uint32_t ComSetTimout(const SerialLink& link, uint32_t port, uint32_t timeoutMs);
// Enters (on != 0) or leaves polling mode; leaving restores the saved time-outs.
void ComPolling(const SerialLink& link, uint32_t port, int on);
int ComWrite(const SerialLink& link, uint32_t port, const void* data, uint32_t length, uint32_t* written);
int ComRead(const SerialLink& link, uint32_t port, void* data, uint32_t length, uint32_t* got);
// Discards pending input: reads until a read delivers nothing.
void ComFlush(const SerialLink& link, uint32_t port);
// Waits until every byte written on the port has left it.
void ComDrain(const SerialLink& link, uint32_t port);
void ComClose(const SerialLink& link, uint32_t port);
void ComCloseAll(const SerialLink& link);
// Writes the data parts of one transfer on ports 0 and 1 at once (part 1 may
// be empty); waits for both. Nonzero on success.
int ComWriteParts(const SerialLink& link, const void* part0, uint32_t length0,
                  const void* part1, uint32_t length1);
// Nonzero once the running load must stop: the host asked for an abort, or
// the device of one of its ports has gone (a pulled USB serial adapter),
// after which nothing can reach the handset any more. Every wait loop of
// the dialogues asks this; PortLost tells the two causes apart.
int AbortRequested(const SerialLink& link);
// Nonzero when the device of one of the kMaxPorts ports has gone; the host
// has been told so.
int PortLost(const PortRecord* ports);
// Asks every open port whether its device has gone, at most every
// kPortWatchMs. A failed read or write tells of a loss at once; this is for
// a port that is not used at the moment: the 4CC scanner calls it while it
// waits for a reply on the current port.
void WatchPorts(const SerialLink& link);
constexpr uint32_t kPortWatchMs = 100;
