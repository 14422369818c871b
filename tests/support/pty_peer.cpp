#include "support/pty_peer.h"

#include <stdlib.h>

namespace testing_support {

PtyPeer::~PtyPeer() {
    if (session_ != nullptr) {
        ComCloseAll(session_.get());
    }
}

bool PtyPeer::Open(uint32_t readTimeoutMs, std::string* error) {
    if (!pair_.Ok()) {
        *error = "no pseudo-terminal";
        return false;
    }
    setenv("FLASHDLL_COM1", pair_.SlavePath().c_str(), 1);
    BuildComNameTable();
    host_.InstallCallbacks();
    session_ = std::make_unique<Session>();
    session_->host = &host_.descriptor;
    session_->options.debug = 1;
    session_->portCount = 1;
    if (ComOpen(session_.get(), 0, 0, 115200, readTimeoutMs) != 1) {
        *error = "ComOpen failed: " + host_.Transcript();
        return false;
    }
    host_.Clear();
    return true;
}

std::string PtyPeer::Take(size_t count, int timeoutMs) {
    const std::vector<uint8_t> bytes = pair_.Receive(count, timeoutMs);
    return std::string(bytes.begin(), bytes.end());
}

}  // namespace testing_support
