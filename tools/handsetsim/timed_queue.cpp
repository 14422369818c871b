#include "tools/handsetsim/timed_queue.h"

#include <algorithm>
#include <cstring>

namespace handsetsim {

namespace {
constexpr int64_t kBitsPerByte = 10;  // start bit, 8 data bits, stop bit
}

Clock::duration ByteTime(uint32_t baud) {
    if (baud == 0) {
        return Clock::duration::zero();
    }
    auto nanos = std::chrono::nanoseconds(kBitsPerByte * 1000000000LL / baud);
    return std::chrono::duration_cast<Clock::duration>(nanos);
}

void TimedQueue::Push(const uint8_t* data, size_t count, Clock::time_point now,
                      Clock::duration perByte, uint32_t tag) {
    if (count == 0) {
        return;
    }
    Chunk chunk;
    chunk.bytes.assign(data, data + count);
    chunk.start = std::max(now, end_);
    chunk.perByte = perByte;
    chunk.tag = tag;
    end_ = chunk.start + perByte * static_cast<int64_t>(count);
    size_ += count;
    chunks_.push_back(std::move(chunk));
}

void TimedQueue::Skip(Clock::time_point now, Clock::duration perByte) {
    end_ = std::max(now, end_) + perByte;
}

size_t TimedQueue::ReadyIn(const Chunk& chunk, Clock::time_point now) {
    size_t left = chunk.bytes.size() - chunk.used;
    if (chunk.perByte == Clock::duration::zero()) {
        return now >= chunk.start ? left : 0;
    }
    if (now < chunk.start) {
        return 0;
    }
    auto through = static_cast<size_t>((now - chunk.start) / chunk.perByte);
    return through > chunk.used ? std::min(left, through - chunk.used) : 0;
}

size_t TimedQueue::Ready(Clock::time_point now) const {
    size_t ready = 0;
    for (const Chunk& chunk : chunks_) {
        size_t inChunk = ReadyIn(chunk, now);
        ready += inChunk;
        if (inChunk < chunk.bytes.size() - chunk.used) {
            break;  // later chunks start after this one ends
        }
    }
    return ready;
}

Clock::time_point TimedQueue::HeadTime() const {
    if (chunks_.empty()) {
        return Clock::time_point::max();
    }
    const Chunk& head = chunks_.front();
    return head.start + head.perByte * static_cast<int64_t>(head.used + 1);
}

uint32_t TimedQueue::HeadTag() const {
    return chunks_.empty() ? 0 : chunks_.front().tag;
}

size_t TimedQueue::Peek(const uint8_t** data, size_t max, Clock::time_point now) const {
    if (chunks_.empty()) {
        return 0;
    }
    const Chunk& head = chunks_.front();
    *data = head.bytes.data() + head.used;
    return std::min(max, ReadyIn(head, now));
}

void TimedQueue::Drop(size_t count) {
    while (count > 0 && !chunks_.empty()) {
        Chunk& head = chunks_.front();
        size_t step = std::min(count, head.bytes.size() - head.used);
        head.used += step;
        size_ -= step;
        count -= step;
        if (head.used == head.bytes.size()) {
            chunks_.pop_front();
        }
    }
}

size_t TimedQueue::Take(uint8_t* out, size_t max, Clock::time_point now) {
    size_t taken = 0;
    uint32_t tag = HeadTag();
    while (taken < max && !chunks_.empty() && chunks_.front().tag == tag) {
        const uint8_t* data = nullptr;
        size_t step = Peek(&data, max - taken, now);
        if (step == 0) {
            break;
        }
        std::memcpy(out + taken, data, step);
        Drop(step);
        taken += step;
    }
    return taken;
}

void TimedQueue::Clear() {
    chunks_.clear();
    size_ = 0;
    end_ = Clock::time_point{};  // bytes queued from now on start at once
}

}  // namespace handsetsim
