#include "support/link_session.h"

#include <stdlib.h>

#include <chrono>

#include "flashdll/link/serial.h"
#include "flashdll/link/crc32.h"

namespace testing_support {

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Bytes Word(uint32_t value) {
    return {uint8_t(value), uint8_t(value >> 8), uint8_t(value >> 16), uint8_t(value >> 24)};
}

Bytes Text(const std::string& text) { return Bytes(text.begin(), text.end()); }

Bytes Crc(const Bytes& data, uint32_t flip) { return Word(Crc32(data.data(), data.size()) ^ flip); }

Bytes Reply(const char* command, bool ok, const Bytes& data, uint32_t crcFlip, const char* tail) {
    return Text("rply") + Text(command) + Text(ok ? "+ok!" : "-err") + Word(uint32_t(data.size())) + data +
           (data.empty() ? Bytes{} : Crc(data, crcFlip)) + Text(tail);
}

Bytes Message(const std::string& text) {
    return Text("*msg") + Word(uint32_t(text.size())) + Text(text) + Crc(Text(text)) + Text("msg.");
}

Bytes Dump(uint32_t first, uint32_t second, const Bytes& data) {
    return Text("*dmp") + Word(first) + Word(second) + Word(uint32_t(data.size())) + data + Crc(data) +
           Text("dmp.");
}

Bytes Frame(const std::string& code, const Bytes& payload, const std::string& tail) {
    const Bytes crc = payload.empty() ? Bytes{} : Crc(payload);
    return Text(code) + Word(uint32_t(payload.size())) + payload + crc + Text(tail);
}

namespace {
void SetComDevice(uint32_t comIndex, const std::string& path) {
    setenv(("FLASHDLL_COM" + std::to_string(comIndex + 1)).c_str(), path.c_str(), 1);
}
}  // namespace

LinkSession::LinkSession(uint32_t portCount, uint32_t readTimeoutMs, uint32_t firstCom) {
    for (uint32_t port = 0; port < portCount; ++port) SetComDevice(firstCom + port, peers[port].SlavePath());
    Open(portCount, readTimeoutMs, firstCom);
}

LinkSession::LinkSession(const handsetsim::Scenario& scenario) {
    handset = handsetsim::Handset::Start(scenario, &error);
    if (handset == nullptr) return;
    for (uint32_t uart = 0; uart < scenario.uartCount; ++uart) SetComDevice(uart, handset->UartPath(uart));
    Open(scenario.uartCount, 1000, 0);
}

void LinkSession::Open(uint32_t portCount, uint32_t readTimeoutMs, uint32_t firstCom) {
    BuildComNameTable();
    host.InstallCallbacks();
    session->host = &host.descriptor;
    session->options.debug = 1;
    session->overlappedIo = 1;
    session->portCount = portCount;
    session->options.com[1] = FLASH_NO_PORT;
    for (uint32_t port = 0; port < portCount; ++port) {
        session->options.com[port] = firstCom + port;
        if (ComOpen(session.get(), port, firstCom + port, 115200, readTimeoutMs) != 1) {
            error = host.Transcript();
        }
    }
    host.Clear();
}

LinkSession::~LinkSession() {
    if (aborter_.joinable()) aborter_.join();
    ComCloseAll(session.get());
    if (handset != nullptr) handset->Stop();
}

void LinkSession::AbortAfter(uint32_t ms) {
    aborter_ = std::thread([this, ms] {
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        session->run.abortFlag.store(1);
    });
}

}  // namespace testing_support
