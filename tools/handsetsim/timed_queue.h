// A queue of bytes on a simulated serial line. Every byte is through the
// line a fixed time after the one before it (the byte time at the line's
// speed), and never before it was queued; with a byte time of zero a byte is
// through as soon as it is queued. The handset uses one queue per direction
// and UART: bytes from the PC become readable only once they are through,
// and bytes to the PC are handed to the pseudo-terminal only then.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

namespace handsetsim {

using Clock = std::chrono::steady_clock;

// Time one byte takes on a line at `baud` with 8N1 framing (10 bits); zero
// when `baud` is 0 (no pacing).
Clock::duration ByteTime(uint32_t baud);

class TimedQueue {
public:
    // Queues `count` bytes at `now`, each taking `perByte` on the line.
    // `tag` is kept with the bytes (the line speed they were sent at).
    void Push(const uint8_t* data, size_t count, Clock::time_point now, Clock::duration perByte,
              uint32_t tag = 0);
    // The line time of one byte that never arrives (lost on the way): bytes
    // queued later start that much later.
    void Skip(Clock::time_point now, Clock::duration perByte);
    // Bytes at the head that are through by `now`.
    size_t Ready(Clock::time_point now) const;
    // When the head byte is (or was) through; time_point::max() when empty.
    Clock::time_point HeadTime() const;
    // Tag of the head byte (0 when empty).
    uint32_t HeadTag() const;
    // Takes up to `max` bytes that are through by `now`, all of one tag.
    size_t Take(uint8_t* out, size_t max, Clock::time_point now);
    // Looks at up to `max` ready bytes of the head run without taking them.
    size_t Peek(const uint8_t** data, size_t max, Clock::time_point now) const;
    void Drop(size_t count);
    void Clear();
    size_t Size() const { return size_; }
    bool Empty() const { return size_ == 0; }

private:
    struct Chunk {
        std::vector<uint8_t> bytes;
        size_t used = 0;
        Clock::time_point start;       // the first byte is through at start + perByte
        Clock::duration perByte{};
        uint32_t tag = 0;
    };
    static size_t ReadyIn(const Chunk& chunk, Clock::time_point now);

    std::deque<Chunk> chunks_;
    Clock::time_point end_{};          // when the last queued byte is through
    size_t size_ = 0;
};

}  // namespace handsetsim
