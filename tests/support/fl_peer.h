// The handset's end of pseudo-terminals, scripted byte for byte by a test,
// and builders of the flash loader's frames. Tests reach the library's real
// serial layer through it; faults no well-behaved handset would send (noise
// inside a reply, oversized frames, bad tails) are written here directly.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "flashdll/session.h"
#include "support/pty_pair.h"
#include "support/recording_host.h"

namespace testing_support {

using Bytes = std::vector<uint8_t>;

Bytes operator+(Bytes a, const Bytes& b);
Bytes Word(uint32_t value);
Bytes Text(const std::string& text);  // the characters, no terminating zero
// A reply frame: "rply", echo, status, length, data, CRC (only with data), tail.
Bytes Reply(const char* command, bool ok, const Bytes& data = {}, uint32_t crcFlip = 0,
            const char* tail = "eom.");
Bytes Message(const Bytes& text, uint32_t length);
Bytes Message(const std::string& text);
Bytes Dump(uint32_t first, uint32_t second, const Bytes& data);
// A command frame as the library sends it.
Bytes Command(const char* command, const Bytes& payload = {});

// The far end of one pseudo-terminal, as the handset sees it.
class PeerLine {
public:
    const std::string& SlavePath() const { return pair_.SlavePath(); }
    void Send(const Bytes& bytes) { pair_.Send(bytes.data(), bytes.size()); }
    // Everything the library wrote, read until nothing arrives for `quietMs`.
    Bytes Received(int quietMs = 30);

private:
    PtyPair pair_;
};

// A session whose ports 0 (and 1) are open on pseudo-terminal peers, with
// log lines on (option debug) and a recording host.
struct PeerSession {
    explicit PeerSession(uint32_t portCount = 1);
    ~PeerSession();

    bool Logged(const std::string& text) const { return host.HasMessage(text); }

    RecordingHost host;
    std::unique_ptr<Session> session;
    PeerLine peers[2];
};

}  // namespace testing_support
