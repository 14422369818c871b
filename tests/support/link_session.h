// A session with log lines on and a recording host, whose ports are open at
// 115200 baud on pseudo-terminals: either scripted byte for byte by the test
// (`peers`), faults no sane handset sends included, or the UARTs of a
// stand-in handset. Also builders of the flash loader's frames.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "flashdll/session/session.h"
#include "support/pty_pair.h"
#include "support/recording_host.h"
#include "tools/handsetsim/handsetsim.h"

namespace testing_support {

using Bytes = std::vector<uint8_t>;

Bytes operator+(Bytes a, const Bytes& b);
Bytes Word(uint32_t value);
Bytes Text(const std::string& text);  // the characters, no terminating zero
Bytes Crc(const Bytes& data, uint32_t flip = 0);  // the checksum word of the frames, bits `flip` inverted
// A reply frame: "rply", echo, status, length, data, CRC (only with data), tail.
Bytes Reply(const char* command, bool ok, const Bytes& data = {}, uint32_t crcFlip = 0,
            const char* tail = "eom.");
Bytes Message(const std::string& text);
Bytes Dump(uint32_t first, uint32_t second, const Bytes& data);
// A command frame as the library sends it: code, length, payload, checksum
// (only with a payload), tail ("EOT."; the boot loader's "(pc)").
Bytes Frame(const std::string& code, const Bytes& payload = {}, const std::string& tail = "EOT.");

struct LinkSession {
    // On `portCount` scripted peers; the first port is COM `firstCom` + 1.
    explicit LinkSession(uint32_t portCount = 1, uint32_t readTimeoutMs = 1000, uint32_t firstCom = 0);
    // On COM1 (and COM2), the UARTs of a handset started from `scenario`.
    explicit LinkSession(const handsetsim::Scenario& scenario);
    ~LinkSession();

    bool Logged(const std::string& text) const { return host.HasMessage(text); }
    // Sets the abort flag `ms` milliseconds from now.
    void AbortAfter(uint32_t ms);

    std::string error;  // empty when every port opened
    RecordingHost host;
    std::unique_ptr<Session> session = std::make_unique<Session>();
    PtyPair peers[2];
    std::unique_ptr<handsetsim::Handset> handset;

private:
    void Open(uint32_t portCount, uint32_t readTimeoutMs, uint32_t firstCom);
    std::thread aborter_;
};

}  // namespace testing_support
