#include "support/handsetsim_client.h"

#include <algorithm>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include "flashdll/loader/crc32.h"
#include "flashdll/loader/le.h"

namespace handsetsim_test {

PcPort::PcPort(const std::string& path)
    : fd_(open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC)) {
    if (fd_ >= 0) {
        SetSpeed(B115200);
        tcflush(fd_, TCIOFLUSH);
    }
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
    for (size_t done = 0; done < bytes.size();) {
        ssize_t put = write(fd_, bytes.data() + done, bytes.size() - done);
        if (put > 0) {
            done += static_cast<size_t>(put);
        } else {
            pollfd p{fd_, POLLOUT, 0};
            poll(&p, 1, 10);
        }
    }
}

Bytes PcPort::Read(size_t count, int timeoutMs) {
    Bytes out;
    while (out.size() < count) {
        uint8_t buffer[4096];
        ssize_t got = read(fd_, buffer, std::min(sizeof buffer, count - out.size()));
        if (got > 0) {
            out.insert(out.end(), buffer, buffer + got);
            continue;
        }
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, timeoutMs) <= 0) {
            break;  // quiet for timeoutMs
        }
    }
    return out;
}

bool PcPort::WaitFor(const std::string& code, int timeoutMs) {
    Bytes seen;
    while (seen.size() < 4 || std::memcmp(seen.data() + seen.size() - 4, code.data(), 4) != 0) {
        Bytes one = Read(1, timeoutMs);
        if (one.empty()) {
            return false;
        }
        seen.push_back(one[0]);
    }
    return true;
}

Bytes Words(std::initializer_list<uint32_t> words) {
    Bytes out(4 * words.size());
    size_t at = 0;
    for (uint32_t word : words) {
        PutLe32(out.data() + 4 * at++, word);
    }
    return out;
}

uint32_t WordAt(const Bytes& bytes, size_t index) {
    return bytes.size() >= 4 * (index + 1) ? GetLe32(bytes.data() + 4 * index) : 0xDEADBEEF;
}

Bytes Frame(const std::string& code, const Bytes& payload, const std::string& tail) {
    Bytes frame(code.begin(), code.end());
    Bytes length = Words({static_cast<uint32_t>(payload.size())});
    frame.insert(frame.end(), length.begin(), length.end());
    if (!payload.empty()) {
        Bytes crc = Words({Crc32(payload.data(), payload.size())});
        frame.insert(frame.end(), payload.begin(), payload.end());
        frame.insert(frame.end(), crc.begin(), crc.end());
    }
    frame.insert(frame.end(), tail.begin(), tail.end());
    return frame;
}

bool ReadReply(PcPort& port, Reply* reply, bool boot, int timeoutMs) {
    const std::string tail = boot ? "(hw)" : "eom.";
    if (!port.WaitFor(boot ? "resp" : "rply", timeoutMs)) {
        return false;
    }
    Bytes head = port.Read(8, timeoutMs);
    reply->echo.assign(head.begin(), head.begin() + std::min<size_t>(4, head.size()));
    reply->ok = head.size() == 8 && std::string(head.begin() + 4, head.end()) == (boot ? "+ok+" : "+ok!");
    reply->crcOk = true;
    if (reply->ok || !boot) {
        uint32_t count = WordAt(port.Read(4, timeoutMs), 0);
        reply->data = port.Read(count, timeoutMs);
        if (count > 0) {
            reply->crcOk = WordAt(port.Read(4, timeoutMs), 0) == Crc32(reply->data.data(), reply->data.size());
        }
    }
    reply->tailOk = port.Read(4, timeoutMs) == Bytes(tail.begin(), tail.end());
    return head.size() == 8;
}

Reply Exchange(PcPort& port, const std::string& code, const Bytes& payload, bool boot) {
    port.Write(Frame(code, payload, boot ? "(pc)" : "EOT."));
    Reply reply;
    ReadReply(port, &reply, boot);
    return reply;
}

uint32_t ErrorWord(const Reply& reply) {
    return !reply.ok && reply.data.size() == 20 ? WordAt(reply.data, 0) : 0;
}

bool WakePassive(PcPort& port) {
    int answers = 0;
    for (int tries = 0; answers < 3 && tries < 2000; ++tries) {
        port.Write(Bytes{'?'});
        Bytes got = port.Read(1, 1);
        answers = got.empty() ? answers : got[0] == '!' ? answers + 1 : 0;
    }
    port.Write(Bytes{'#'});
    return answers == 3;
}

char SwitchOver(PcPort& port, int timeoutMs) {
    for (int waited = 0; waited < timeoutMs; waited += 10) {
        port.Write(Bytes{'*'});
        Bytes got = port.Read(2, 10);
        if (got.size() == 2 && got[0] == '#' && (got[1] == 'A' || got[1] == 'B')) {
            return static_cast<char>(got[1]);
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
