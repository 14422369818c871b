// The handset's UARTs as byte streams. An I/O thread moves bytes between the
// pseudo-terminals and one timed queue per direction and UART; the handset's
// logic (on its own thread) reads and writes through the functions here.
//
// With pacing on, every byte takes 10 bits at its UART's current speed in
// each direction. With the speed check on, bytes that cross a line whose PC
// side is set to another speed than the handset's UART arrive garbled, as
// on a real wire. With line faults set, bytes in both directions are lost
// or arrive with a bit flipped as they cross (a lost byte still takes its
// line time), and every fault is counted.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <poll.h>

#include "tools/handsetsim/line_noise.h"
#include "tools/handsetsim/pty.h"
#include "tools/handsetsim/timed_queue.h"

namespace handsetsim {

constexpr uint32_t kInitialBaud = 115200;

class Lines {
public:
    struct Options {
        bool pace = false;
        bool checkSpeed = false;
        uint32_t pullUart = 0;        // the line that goes away ...
        uint64_t pullAfterBytes = 0;  // ... once it received this many bytes (0: never)
        double dropRate = 0;  // per byte, both directions
        double flipRate = 0;
        uint64_t seed = 1;
    };

    Lines() = default;
    ~Lines();
    Lines(const Lines&) = delete;
    Lines& operator=(const Lines&) = delete;

    // Opens `count` pseudo-terminals and starts the I/O thread.
    bool Open(uint32_t count, Options options, std::string* error);
    // Stops the I/O thread and closes the pseudo-terminals.
    void Close();
    uint32_t Count() const { return static_cast<uint32_t>(lines_.size()); }
    std::string Path(uint32_t uart) const;

    // Reads for the handset's logic. Each returns false when its time runs
    // out or when the logic is interrupted (see Interrupt).
    bool ReadByte(uint32_t uart, uint8_t* byte, int timeoutMs);
    // Exactly `count` bytes; gives up after `silenceMs` without a byte.
    // `got` (when given) receives the bytes read, also when it gives up.
    bool ReadExact(uint32_t uart, uint8_t* out, size_t count, int silenceMs,
                   size_t* got = nullptr);
    // The byte that came through first on any UART; on a tie, `preferred`.
    bool ReadAny(uint32_t preferred, uint32_t* uart, uint8_t* byte, int timeoutMs);

    void Write(uint32_t uart, const void* data, size_t count);
    void Write(uint32_t uart, const std::vector<uint8_t>& bytes) {
        Write(uart, bytes.data(), bytes.size());
    }
    // True while bytes written to `uart` have not yet gone to the PC.
    bool OutputPending(uint32_t uart) const;

    // The UART's speed; a change applies to bytes written and received from
    // now on (bytes already written go out at the old speed).
    void SetBaud(uint32_t uart, uint32_t baud);
    uint32_t Baud(uint32_t uart) const;
    // Faults injected so far, over all UARTs and both directions.
    LineFaultCounts FaultCounts() const;
    // New fault probabilities from now on (0 and 0: a clean line).
    void SetFaultRates(double dropRate, double flipRate);

    // Forgets bytes received but not yet read (a UART being reinitialised).
    void DropInput();
    // Forgets everything queued in both directions and resets the speeds.
    void ResetLines();

    // Interruption of the logic's reads, from any thread (stop, reset).
    void Interrupt();
    void ClearInterrupt();
    bool Interrupted() const { return interrupted_.load(); }
    // Blocks until Interrupt is called.
    void WaitForInterrupt();

private:
    struct Line {
        Pty pty;
        TimedQueue in, out;
        LineNoise toHandset, toPc;
        uint32_t baud = kInitialBaud;
        bool blocked = false;  // the PC side is not taking bytes
        uint64_t received = 0;  // bytes the PC sent since Open
    };

    void IoLoop();
    void ServiceLines(const std::vector<pollfd>& fds);
    int PollTimeoutUs(Clock::time_point now) const;
    void ReceiveFrom(Line& line, Clock::time_point now);
    void PullCableOnceDue(Line& line);
    void SendTo(Line& line);
    void Wake();
    // Queues bytes as they come through the line's noise.
    void Queue(TimedQueue& queue, LineNoise& noise, uint8_t* data, size_t count,
               Clock::time_point now, Clock::duration perByte, uint32_t tag);
    Clock::duration PerByte(const Line& line) const;
    bool WaitUntil(std::unique_lock<std::mutex>& lock, Clock::time_point deadline,
                   Clock::time_point next);

    Options options_;
    std::vector<Line> lines_;
    mutable std::mutex mutex_;
    std::condition_variable arrived_;
    std::thread io_;
    int wake_[2] = {-1, -1};
    bool stop_ = false;
    std::atomic<bool> interrupted_{false};
};

}  // namespace handsetsim
