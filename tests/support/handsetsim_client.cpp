#include "support/handsetsim_client.h"

#include <chrono>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include "flashdll/loader/crc32.h"
#include "flashdll/loader/le.h"

namespace handsetsim_test {

namespace {

using Clock = std::chrono::steady_clock;

// Milliseconds left, rounded up so that a wait of 1 ms really waits.
int RemainingMs(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now());
    return left.count() > 0 ? static_cast<int>((left.count() + 999) / 1000) : 0;
}

Clock::time_point After(int ms) {
    return Clock::now() + std::chrono::milliseconds(ms);
}

}  // namespace

PcPort::PcPort(const std::string& path, speed_t speed) {
    fd_ = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0) {
        return;
    }
    SetSpeed(speed);
    Discard();
}

PcPort::~PcPort() {
    if (fd_ >= 0) {
        close(fd_);
    }
}

void PcPort::SetSpeed(speed_t speed) {
    termios tio{};
    tcgetattr(fd_, &tio);
    cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    cfsetispeed(&tio, speed);
    cfsetospeed(&tio, speed);
    tcsetattr(fd_, TCSANOW, &tio);
}

void PcPort::Write(const Bytes& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t put = write(fd_, bytes.data() + done, bytes.size() - done);
        if (put > 0) {
            done += static_cast<size_t>(put);
        } else {
            pollfd p{fd_, POLLOUT, 0};
            poll(&p, 1, 10);
        }
    }
}

void PcPort::Write(const std::string& text) {
    Write(Bytes(text.begin(), text.end()));
}

Bytes PcPort::Read(size_t count, int timeoutMs) {
    Bytes out;
    auto deadline = After(timeoutMs);
    while (out.size() < count) {
        uint8_t buffer[4096];
        ssize_t got = read(fd_, buffer, std::min(sizeof buffer, count - out.size()));
        if (got > 0) {
            out.insert(out.end(), buffer, buffer + got);
            deadline = After(timeoutMs);
            continue;
        }
        int left = RemainingMs(deadline);
        if (left == 0) {
            break;
        }
        pollfd p{fd_, POLLIN, 0};
        poll(&p, 1, left);
    }
    return out;
}

Bytes PcPort::ReadUntilQuiet(int quietMs) {
    return Read(SIZE_MAX, quietMs);
}

bool PcPort::WaitFor(const std::string& code, int timeoutMs, Bytes* before) {
    Bytes seen;
    auto deadline = After(timeoutMs);
    while (RemainingMs(deadline) > 0) {
        Bytes one = Read(1, RemainingMs(deadline));
        if (one.empty()) {
            break;
        }
        seen.push_back(one[0]);
        if (seen.size() >= 4 && std::memcmp(seen.data() + seen.size() - 4, code.data(), 4) == 0) {
            if (before != nullptr) {
                before->assign(seen.begin(), seen.end() - 4);
            }
            return true;
        }
    }
    return false;
}

bool PcPort::WaitForByte(uint8_t byte, int timeoutMs) {
    auto deadline = After(timeoutMs);
    while (RemainingMs(deadline) > 0) {
        Bytes one = Read(1, RemainingMs(deadline));
        if (!one.empty() && one[0] == byte) {
            return true;
        }
    }
    return false;
}

void PcPort::Discard() {
    tcflush(fd_, TCIOFLUSH);
}

Bytes Words(std::initializer_list<uint32_t> words) {
    Bytes out;
    for (uint32_t word : words) {
        uint8_t bytes[4];
        PutLe32(bytes, word);
        out.insert(out.end(), bytes, bytes + 4);
    }
    return out;
}

uint32_t WordAt(const Bytes& bytes, size_t index) {
    return bytes.size() >= 4 * (index + 1) ? GetLe32(bytes.data() + 4 * index) : 0xDEADBEEF;
}

void Append(Bytes* out, const Bytes& more) {
    out->insert(out->end(), more.begin(), more.end());
}

Bytes Frame(const std::string& code, const Bytes& payload, const std::string& tail) {
    Bytes frame(code.begin(), code.end());
    Append(&frame, Words({static_cast<uint32_t>(payload.size())}));
    if (!payload.empty()) {
        Append(&frame, payload);
        Append(&frame, Words({Crc32(payload.data(), payload.size())}));
    }
    frame.insert(frame.end(), tail.begin(), tail.end());
    return frame;
}

Bytes FlashCommand(const std::string& code, const Bytes& payload) {
    return Frame(code, payload, "EOT.");
}

Bytes BootCommand(const std::string& code, const Bytes& payload) {
    return Frame(code, payload, "(pc)");
}

namespace {

// Length, data, checksum (when there is data) and tail after a status.
bool ReadBody(PcPort& port, Bytes* data, bool* crcOk, bool* tailOk, const char* tail,
              int timeoutMs) {
    Bytes length = port.Read(4, timeoutMs);
    if (length.size() != 4) {
        return false;
    }
    uint32_t count = WordAt(length, 0);
    *data = port.Read(count, timeoutMs);
    *crcOk = true;
    if (count > 0) {
        Bytes crc = port.Read(4, timeoutMs);
        *crcOk = crc.size() == 4 && WordAt(crc, 0) == Crc32(data->data(), data->size());
    }
    Bytes end = port.Read(4, timeoutMs);
    *tailOk = end == Bytes(tail, tail + 4);
    return data->size() == count && end.size() == 4;
}

}  // namespace

bool ReadFlReply(PcPort& port, FlReply* reply, int timeoutMs) {
    if (!port.WaitFor("rply", timeoutMs, &reply->before)) {
        return false;
    }
    Bytes head = port.Read(8, timeoutMs);
    if (head.size() != 8) {
        return false;
    }
    reply->echo.assign(head.begin(), head.begin() + 4);
    reply->ok = std::string(head.begin() + 4, head.end()) == "+ok!";
    return ReadBody(port, &reply->data, &reply->crcOk, &reply->tailOk, "eom.", timeoutMs);
}

FlReply Exchange(PcPort& port, const std::string& code, const Bytes& payload) {
    port.Write(FlashCommand(code, payload));
    FlReply reply;
    ReadFlReply(port, &reply);
    return reply;
}

bool ReadBlReply(PcPort& port, BlReply* reply, int timeoutMs) {
    if (!port.WaitFor("resp", timeoutMs)) {
        return false;
    }
    Bytes head = port.Read(8, timeoutMs);
    if (head.size() != 8) {
        return false;
    }
    reply->echo.assign(head.begin(), head.begin() + 4);
    reply->ok = std::string(head.begin() + 4, head.end()) == "+ok+";
    if (!reply->ok) {
        Bytes end = port.Read(4, timeoutMs);
        reply->tailOk = end == Bytes{'(', 'h', 'w', ')'};
        return end.size() == 4;
    }
    return ReadBody(port, &reply->data, &reply->crcOk, &reply->tailOk, "(hw)", timeoutMs);
}

BlReply BootExchange(PcPort& port, const std::string& code, const Bytes& payload) {
    port.Write(BootCommand(code, payload));
    BlReply reply;
    ReadBlReply(port, &reply);
    return reply;
}

bool WakePassive(PcPort& port) {
    constexpr int kWakeUpMs = 2000;
    auto deadline = After(kWakeUpMs);
    int answers = 0;
    while (answers < 3 && RemainingMs(deadline) > 0) {
        port.Write(Bytes{'?'});
        Bytes got = port.Read(1, 1);
        if (!got.empty()) {
            answers = got[0] == '!' ? answers + 1 : 0;
        }
    }
    if (answers < 3) {
        return false;
    }
    port.Write(Bytes{'#'});
    return true;
}

char SwitchOver(PcPort& port, int timeoutMs) {
    auto deadline = After(timeoutMs);
    while (RemainingMs(deadline) > 0) {
        port.Write(Bytes{'*'});
        Bytes got = port.Read(1, 10);
        if (!got.empty() && got[0] == '#') {
            Bytes letter = port.Read(1, 100);
            if (!letter.empty() && (letter[0] == 'A' || letter[0] == 'B')) {
                return static_cast<char>(letter[0]);
            }
        }
    }
    return 0;
}

handsetsim::Scenario FlashScenario(uint32_t uarts) {
    handsetsim::Scenario scenario;
    scenario.uartCount = uarts;
    scenario.startInFlashLoader = true;
    handsetsim::ChipSlot chip;
    chip.amdId = 0x01 << 16;
    chip.amdDevice = 0x227E;
    chip.start = kFlashBase;
    chip.sectorSizes.assign(8, 8192);
    chip.sectorSizes.insert(chip.sectorSizes.end(), 4, 65536);
    scenario.chips.push_back(chip);
    return scenario;
}

}  // namespace handsetsim_test
