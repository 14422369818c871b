// A session whose ports 0 (and 1) are open at 115200 baud on COM1 (and
// COM2), with log lines on and a recording host. The far ends are either
// pseudo-terminals the test scripts byte for byte (`peers`), where faults no
// sane handset sends can be written directly, or the UARTs of a stand-in
// handset. Also builders of the flash loader's frames.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "flashdll/session.h"
#include "support/pty_pair.h"
#include "support/recording_host.h"
#include "tools/handsetsim/handsetsim.h"

namespace testing_support {

using Bytes = std::vector<uint8_t>;

Bytes operator+(Bytes a, const Bytes& b);
Bytes Word(uint32_t value);
Bytes Text(const std::string& text);  // the characters, no terminating zero
// A reply frame: "rply", echo, status, length, data, CRC (only with data), tail.
Bytes Reply(const char* command, bool ok, const Bytes& data = {}, uint32_t crcFlip = 0,
            const char* tail = "eom.");
Bytes Message(const std::string& text);
Bytes Dump(uint32_t first, uint32_t second, const Bytes& data);
// A command frame as the library sends it.
Bytes Command(const char* command, const Bytes& payload = {});

struct LinkSession {
    // On `portCount` scripted peers; the first port is COM `firstCom` + 1.
    explicit LinkSession(uint32_t portCount = 1, uint32_t readTimeoutMs = 1000, uint32_t firstCom = 0);
    // On the UARTs of a handset started from `scenario`.
    LinkSession(const handsetsim::Scenario& scenario, uint32_t readTimeoutMs = 1000);
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
