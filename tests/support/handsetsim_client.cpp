#include "support/handsetsim_client.h"

#include <algorithm>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include "flashdll/link/crc32.h"
#include "flashdll/link/le.h"

namespace handsetsim_test {

PcPort::PcPort(const std::string& path) : fd_(open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC)) {
    termios tio{};
    tcgetattr(fd_, &tio);
    cfmakeraw(&tio);
    cfsetspeed(&tio, B115200);
    tcsetattr(fd_, TCSANOW, &tio);
    tcflush(fd_, TCIOFLUSH);
}

void PcPort::Write(const Bytes& bytes) {
    for (size_t done = 0; done < bytes.size();) {
        ssize_t put = write(fd_, bytes.data() + done, bytes.size() - done);
        done = put > 0 ? done + static_cast<size_t>(put) : bytes.size();  // gives up on an error
    }
}

Bytes PcPort::Read(size_t count, int timeoutMs) {
    Bytes out;
    uint8_t buffer[4096];
    pollfd p{fd_, POLLIN, 0};
    ssize_t got = 0;
    while (out.size() < count && poll(&p, 1, timeoutMs) > 0 &&
           (got = read(fd_, buffer, std::min(sizeof buffer, count - out.size()))) > 0) {
        out.insert(out.end(), buffer, buffer + got);
    }
    return out;
}

bool PcPort::WaitFor(const std::string& code, int timeoutMs) {
    std::string seen;
    while (seen.size() < 4 || seen.compare(seen.size() - 4, 4, code) != 0) {
        Bytes one = Read(1, timeoutMs);
        if (one.empty()) {
            return false;
        }
        seen += static_cast<char>(one[0]);
    }
    return true;
}

Bytes Words(std::initializer_list<uint32_t> words) {
    Bytes out;
    for (uint32_t word : words) {
        out.resize(out.size() + 4);
        PutLe32(out.data() + out.size() - 4, word);
    }
    return out;
}

uint32_t WordAt(const Bytes& bytes, size_t index) {
    return bytes.size() >= 4 * (index + 1) ? GetLe32(bytes.data() + 4 * index) : 0xDEADBEEF;
}

Bytes Pattern(size_t count, uint8_t seed) {
    Bytes bytes(count);
    for (size_t i = 0; i < count; ++i) {
        bytes[i] = static_cast<uint8_t>(seed + i * 13 + (i >> 8));
    }
    return bytes;
}

bool ReadReply(PcPort& port, Reply* reply, bool boot, int timeoutMs) {
    if (!port.WaitFor(boot ? "resp" : "rply", timeoutMs)) {
        return false;
    }
    Bytes head = port.Read(8, timeoutMs);
    reply->ok = head.size() == 8 && std::string(head.begin() + 4, head.end()) == (boot ? "+ok+" : "+ok!");
    reply->crcOk = true;
    if (reply->ok || !boot) {
        uint32_t count = WordAt(port.Read(4, timeoutMs), 0);
        reply->data = port.Read(count, timeoutMs);
        if (count > 0) {
            reply->crcOk = WordAt(port.Read(4, timeoutMs), 0) == Crc32(reply->data.data(), reply->data.size());
        }
    }
    std::string tail = boot ? "(hw)" : "eom.";
    reply->tailOk = port.Read(4, timeoutMs) == Bytes(tail.begin(), tail.end());
    return head.size() == 8;
}

uint32_t ErrorWord(const Reply& reply) {
    return !reply.ok && reply.data.size() == 20 ? WordAt(reply.data, 0) : 0;
}

bool WakePassive(PcPort& port) {
    int answers = 0;
    for (int tries = 0; answers < 3 && tries < 1000; ++tries) {
        port.Write(Bytes{'?'});
        Bytes got = port.Read(1, 2);
        answers = got.empty() ? answers : got[0] == '!' ? answers + 1 : 0;
    }
    port.Write(Bytes{'#'});
    return answers == 3;
}

bool SwitchOver(PcPort& port, int timeoutMs) {
    bool answered = false;
    for (int waited = 0; !answered && waited < timeoutMs; waited += 10) {
        port.Write(Bytes{'*'});
        answered = port.Read(2, 10) == Bytes{'#', 'A'};
    }
    return answered;
}

handsetsim::Scenario FlashScenario() {
    handsetsim::Scenario scenario;
    scenario.startInFlashLoader = true;
    std::vector<uint32_t> sectors(8, 8192);
    sectors.insert(sectors.end(), 4, 65536);
    scenario.chips.push_back({0x01 << 16, 0x227E, 0, 0, 0, 0, kFlashBase, sectors});
    return scenario;
}

void HandsetTest::Begin(const handsetsim::Scenario& scenario, bool setUp) {
    std::string error;
    handset_ = handsetsim::Handset::Start(scenario, &error);
    ASSERT_TRUE(handset_) << error;
    port_ = std::make_unique<PcPort>(handset_->UartPath(0));
    if (scenario.startInFlashLoader) {
        ASSERT_TRUE(SwitchOver(*port_));
        ASSERT_TRUE(!setUp || Ask("SETP", Words({1, 0x227E, 0, 0, 0, 0, 0, 0, 0})).ok);
    }
}

Reply HandsetTest::Ask(const std::string& code, const Bytes& payload, bool boot) {
    port_->Write(Frame(code, payload, boot ? "(pc)" : "EOT."));
    Reply reply;
    ReadReply(*port_, &reply, boot);
    return reply;
}

}  // namespace handsetsim_test
