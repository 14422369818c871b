// A session whose port 0 is the slave side of a pseudo-terminal, opened
// through the serial layer; the test plays the handset on the master side,
// byte for byte.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "flashdll/session.h"
#include "support/pty_pair.h"
#include "support/recording_host.h"

namespace testing_support {

class PtyPeer {
public:
    PtyPeer() = default;
    ~PtyPeer();
    PtyPeer(const PtyPeer&) = delete;
    PtyPeer& operator=(const PtyPeer&) = delete;

    // Opens the session's port 0 with `readTimeoutMs`; false (and a reason)
    // when it cannot. Log lines are on.
    bool Open(uint32_t readTimeoutMs, std::string* error);

    Session* session() { return session_.get(); }
    RecordingHost& host() { return host_; }

    // Bytes the handset sends to the session.
    void Feed(const std::string& bytes) { pair_.Send(bytes); }
    // Up to `count` bytes the session sent, waiting at most `timeoutMs`.
    std::string Take(size_t count, int timeoutMs = 1000);

private:
    PtyPair pair_;
    RecordingHost host_;
    std::unique_ptr<Session> session_;
};

}  // namespace testing_support
