#include "support/fl_peer.h"

#include <poll.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "flashdll/loader/crc32.h"

namespace testing_support {

namespace {
constexpr uint32_t kFirstPeerCom = 40;  // COM41, COM42: far from real devices
}

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Bytes Word(uint32_t value) {
    return {uint8_t(value), uint8_t(value >> 8), uint8_t(value >> 16), uint8_t(value >> 24)};
}

Bytes Text(const std::string& text) { return Bytes(text.begin(), text.end()); }

Bytes Reply(const char* command, bool ok, const Bytes& data, uint32_t crcFlip, const char* tail) {
    Bytes frame = Text("rply") + Text(command) + Text(ok ? "+ok!" : "-err") +
                  Word(uint32_t(data.size())) + data;
    if (!data.empty()) frame = frame + Word(Crc32(data.data(), data.size()) ^ crcFlip);
    return frame + Text(tail);
}

Bytes Message(const Bytes& text, uint32_t length) {
    return Text("*msg") + Word(length) + text + Word(Crc32(text.data(), text.size())) + Text("msg.");
}

Bytes Message(const std::string& text) { return Message(Text(text), uint32_t(text.size())); }

Bytes Dump(uint32_t first, uint32_t second, const Bytes& data) {
    return Text("*dmp") + Word(first) + Word(second) + Word(uint32_t(data.size())) + data +
           Word(Crc32(data.data(), data.size())) + Text("dmp.");
}

Bytes Command(const char* command, const Bytes& payload) {
    Bytes frame = Text(command) + Word(uint32_t(payload.size())) + payload;
    if (!payload.empty()) frame = frame + Word(Crc32(payload.data(), payload.size()));
    return frame + Text("EOT.");
}

Bytes PeerLine::Received(int quietMs) {
    Bytes bytes;
    pollfd ready = {pair_.MasterFd(), POLLIN, 0};
    while (poll(&ready, 1, quietMs) > 0) {
        uint8_t chunk[4096];
        const ssize_t n = read(pair_.MasterFd(), chunk, sizeof chunk);
        if (n <= 0) break;
        bytes.insert(bytes.end(), chunk, chunk + n);
    }
    return bytes;
}

PeerSession::PeerSession(uint32_t portCount) : session(std::make_unique<Session>()) {
    BuildComNameTable();
    host.InstallCallbacks();
    session->host = &host.descriptor;
    session->options.debug = 1;
    session->overlappedIo = 1;
    session->portCount = portCount;
    for (uint32_t port = 0; port < portCount; ++port) {
        const uint32_t com = kFirstPeerCom + port;
        const std::string variable = "FLASHDLL_COM" + std::to_string(com + 1);
        setenv(variable.c_str(), peers[port].SlavePath().c_str(), 1);
        session->options.com[port] = com;
        ComOpen(session.get(), port, com, 115200, 1000);
    }
    host.Clear();
}

PeerSession::~PeerSession() { ComCloseAll(session.get()); }

}  // namespace testing_support
