#include "tools/handsetsim/line.h"

#include <algorithm>
#include <cerrno>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace handsetsim {

namespace {

constexpr size_t kReadChunk = 65536;
constexpr size_t kMaxQueuedInput = 8u << 20;  // a UART nobody reads overruns here
constexpr int kIdlePollUs = 100000;           // the wake pipe ends idle polls early
constexpr int kBlockedPollUs = 5000;          // retry a full pseudo-terminal this often
constexpr uint8_t kGarbleMask = 0xA5;         // what a speed mismatch makes of a byte

void Garble(uint8_t* bytes, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        bytes[i] ^= kGarbleMask;
    }
}

Clock::time_point Deadline(int timeoutMs) {
    return Clock::now() + std::chrono::milliseconds(std::max(timeoutMs, 0));
}

}  // namespace

Lines::~Lines() {
    Close();
}

bool Lines::Open(uint32_t count, Options options, std::string* error) {
    options_ = options;
    lines_.resize(count);
    for (uint32_t uart = 0; uart < count; ++uart) {
        Line& line = lines_[uart];
        line.toHandset.Configure(options.dropRate, options.flipRate, options.seed, 2 * uart);
        line.toPc.Configure(options.dropRate, options.flipRate, options.seed, 2 * uart + 1);
        if (!OpenPty(&line.pty, error)) {
            Close();
            return false;
        }
    }
    if (pipe2(wake_, O_NONBLOCK | O_CLOEXEC) != 0) {
        *error = "pipe2 failed";
        Close();
        return false;
    }
    io_ = std::thread(&Lines::IoLoop, this);
    return true;
}

void Lines::Close() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    Wake();
    if (io_.joinable()) {
        io_.join();
    }
    for (Line& line : lines_) {
        ClosePty(&line.pty);
    }
    for (int& fd : wake_) {
        if (fd >= 0) {
            close(fd);
        }
        fd = -1;
    }
}

std::string Lines::Path(uint32_t uart) const {
    return uart < lines_.size() ? lines_[uart].pty.path : std::string();
}

Clock::duration Lines::PerByte(const Line& line) const {
    return options_.pace ? ByteTime(line.baud) : Clock::duration::zero();
}

void Lines::Wake() {
    if (wake_[1] >= 0) {
        uint8_t one = 1;
        ssize_t ignored = write(wake_[1], &one, 1);  // a full pipe wakes the loop as well
        (void)ignored;
    }
}

// ---------------------------------------------------------------- I/O thread

void Lines::IoLoop() {
    std::vector<pollfd> fds(lines_.size() + 1);
    for (;;) {
        int timeoutUs;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stop_) {
                return;
            }
            fds[0] = {wake_[0], POLLIN, 0};
            for (size_t i = 0; i < lines_.size(); ++i) {
                short events = POLLIN | (lines_[i].blocked ? POLLOUT : 0);
                fds[i + 1] = {lines_[i].pty.master, events, 0};
            }
            timeoutUs = PollTimeoutUs(Clock::now());
        }
        timespec wait{timeoutUs / 1000000, (timeoutUs % 1000000) * 1000L};
        if (ppoll(fds.data(), fds.size(), &wait, nullptr) < 0 && errno != EINTR) {
            usleep(1000);
        }
        uint8_t drain[64];
        while (read(wake_[0], drain, sizeof drain) > 0) {
        }
        ServiceLines(fds);
    }
}

void Lines::ServiceLines(const std::vector<pollfd>& fds) {
    bool hungUp = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        // Bytes found in one pass share a time stamp: which line the PC wrote
        // first cannot be told apart here, and the reader breaks the tie.
        auto now = Clock::now();
        for (size_t i = 0; i < lines_.size(); ++i) {
            if (fds[i + 1].revents & POLLIN) {
                ReceiveFrom(lines_[i], now);
            } else if (fds[i + 1].revents & (POLLHUP | POLLERR)) {
                hungUp = true;  // only without the held slave; do not spin on it
            }
            SendTo(lines_[i]);
        }
    }
    if (hungUp) {
        usleep(2000);
    }
}

int Lines::PollTimeoutUs(Clock::time_point now) const {
    int timeoutUs = kIdlePollUs;
    for (const Line& line : lines_) {
        if (line.blocked) {
            timeoutUs = std::min(timeoutUs, kBlockedPollUs);
        } else if (!line.out.Empty()) {
            auto due = line.out.HeadTime() - now;
            auto dueUs = std::chrono::duration_cast<std::chrono::microseconds>(due).count();
            timeoutUs = std::min<int64_t>(timeoutUs, std::max<int64_t>(dueUs, 0));
        }
    }
    return timeoutUs;
}

void Lines::ReceiveFrom(Line& line, Clock::time_point now) {
    static thread_local std::vector<uint8_t> buffer(kReadChunk);
    ssize_t got = ReadMaster(line.pty, buffer.data(), buffer.size());
    if (got <= 0) {
        return;
    }
    if (options_.checkSpeed && PcLineSpeed(line.pty) != line.baud) {
        Garble(buffer.data(), static_cast<size_t>(got));
    }
    line.received += static_cast<uint64_t>(got);
    PullCableOnceDue(line);
    if (line.in.Size() + static_cast<size_t>(got) > kMaxQueuedInput) {
        return;  // overrun: the handset was not reading
    }
    Queue(line.in, line.toHandset, buffer.data(), static_cast<size_t>(got), now, PerByte(line), 0);
    arrived_.notify_all();
}

// Closing the master (and the held slave) hangs the PC's side up and makes
// the slave's path disappear; later bytes for the line fall on the floor.
void Lines::PullCableOnceDue(Line& line) {
    const bool chosen = options_.pullUart < lines_.size() && &line == &lines_[options_.pullUart];
    if (chosen && options_.pullAfterBytes != 0 && line.received >= options_.pullAfterBytes) {
        ClosePty(&line.pty);
    }
}

void Lines::SendTo(Line& line) {
    static thread_local std::vector<uint8_t> buffer(kReadChunk);
    for (;;) {
        size_t count = line.out.Ready(Clock::now());
        if (count == 0) {
            line.blocked = false;
            return;
        }
        uint32_t speed = line.out.HeadTag();
        const uint8_t* data = nullptr;
        count = line.out.Peek(&data, std::min(count, buffer.size()), Clock::now());
        std::copy(data, data + count, buffer.begin());
        if (options_.checkSpeed && PcLineSpeed(line.pty) != speed) {
            Garble(buffer.data(), count);
        }
        ssize_t put = WriteMaster(line.pty, buffer.data(), count);
        if (put < 0) {
            line.out.Drop(count);  // the line is gone: bytes fall on the floor
            continue;
        }
        if (put == 0) {
            line.blocked = true;
            return;
        }
        line.out.Drop(static_cast<size_t>(put));
    }
}

// ---------------------------------------------------------- logic's side

bool Lines::WaitUntil(std::unique_lock<std::mutex>& lock, Clock::time_point deadline,
                      Clock::time_point next) {
    if (interrupted_.load() || Clock::now() >= deadline) {
        return false;
    }
    arrived_.wait_until(lock, std::min(deadline, next));
    return !interrupted_.load();
}

bool Lines::ReadByte(uint32_t uart, uint8_t* byte, int timeoutMs) {
    return ReadExact(uart, byte, 1, timeoutMs);
}

bool Lines::ReadExact(uint32_t uart, uint8_t* out, size_t count, int silenceMs, size_t* got) {
    std::unique_lock<std::mutex> lock(mutex_);
    TimedQueue& in = lines_.at(uart).in;
    size_t done = 0;
    bool complete = true;
    auto deadline = Deadline(silenceMs);
    while (done < count) {
        size_t taken = in.Take(out + done, count - done, Clock::now());
        if (taken > 0) {
            done += taken;
            deadline = Deadline(silenceMs);
        } else if (!WaitUntil(lock, deadline, in.HeadTime())) {
            complete = false;
            break;
        }
    }
    if (got != nullptr) {
        *got = done;
    }
    return complete;
}

bool Lines::ReadAny(uint32_t preferred, uint32_t* uart, uint8_t* byte, int timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    auto deadline = Deadline(timeoutMs);
    for (;;) {
        auto now = Clock::now();
        Clock::time_point first = Clock::time_point::max();
        uint32_t chosen = Count();
        for (uint32_t i = 0; i < Count(); ++i) {
            auto head = lines_[i].in.HeadTime();
            bool earlier = head < first || (head == first && i == preferred);
            if (earlier) {
                first = head;
                chosen = i;
            }
        }
        if (chosen < Count() && first <= now && lines_[chosen].in.Take(byte, 1, now) == 1) {
            *uart = chosen;
            return true;
        }
        if (!WaitUntil(lock, deadline, first)) {
            return false;
        }
    }
}

void Lines::Write(uint32_t uart, const void* data, size_t count) {
    static thread_local std::vector<uint8_t> copy;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        Line& line = lines_.at(uart);
        const auto* bytes = static_cast<const uint8_t*>(data);
        copy.assign(bytes, bytes + count);  // the noise may change bytes
        Queue(line.out, line.toPc, copy.data(), count, Clock::now(), PerByte(line), line.baud);
    }
    Wake();
}

void Lines::Queue(TimedQueue& queue, LineNoise& noise, uint8_t* data, size_t count,
                  Clock::time_point now, Clock::duration perByte, uint32_t tag) {
    if (!noise.Active()) {
        queue.Push(data, count, now, perByte, tag);
        return;
    }
    size_t run = 0;  // first byte of the run that has come through so far
    for (size_t i = 0; i < count; ++i) {
        if (noise.Pass(&data[i]) == LineNoise::Fate::Dropped) {
            queue.Push(data + run, i - run, now, perByte, tag);
            queue.Skip(now, perByte);
            run = i + 1;
        }
    }
    queue.Push(data + run, count - run, now, perByte, tag);
}

LineFaultCounts Lines::FaultCounts() const {
    std::lock_guard<std::mutex> lock(mutex_);
    LineFaultCounts total;
    for (const Line& line : lines_) {
        for (const LineNoise* noise : {&line.toHandset, &line.toPc}) {
            total.dropped += noise->Counts().dropped;
            total.flipped += noise->Counts().flipped;
        }
    }
    return total;
}

void Lines::SetFaultRates(double dropRate, double flipRate) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (Line& line : lines_) {
        line.toHandset.SetRates(dropRate, flipRate);
        line.toPc.SetRates(dropRate, flipRate);
    }
}

bool Lines::OutputPending(uint32_t uart) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return !lines_.at(uart).out.Empty();
}

void Lines::SetBaud(uint32_t uart, uint32_t baud) {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.at(uart).baud = baud;
}

uint32_t Lines::Baud(uint32_t uart) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_.at(uart).baud;
}

void Lines::DropInput() {
    std::lock_guard<std::mutex> lock(mutex_);
    for (Line& line : lines_) {
        line.in.Clear();
    }
}

void Lines::ResetLines() {
    std::lock_guard<std::mutex> lock(mutex_);
    for (Line& line : lines_) {
        line.in.Clear();
        line.out.Clear();
        line.baud = kInitialBaud;
    }
}

void Lines::Interrupt() {
    std::lock_guard<std::mutex> lock(mutex_);
    interrupted_.store(true);
    arrived_.notify_all();
}

void Lines::ClearInterrupt() {
    interrupted_.store(false);
}

void Lines::WaitForInterrupt() {
    std::unique_lock<std::mutex> lock(mutex_);
    arrived_.wait(lock, [this] { return interrupted_.load(); });
}

}  // namespace handsetsim
