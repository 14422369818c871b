#include "support/pty_peer.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

namespace testing_support {

PtyPeer::~PtyPeer() {
    if (session_ != nullptr) {
        ComCloseAll(session_.get());
    }
    if (master_ >= 0) {
        close(master_);
    }
}

bool PtyPeer::Open(uint32_t readTimeoutMs, std::string* error) {
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
        *error = "no pseudo-terminal";
        return false;
    }
    setenv("FLASHDLL_COM1", ptsname(master_), 1);
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

void PtyPeer::Feed(const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(master_, bytes.data() + done, bytes.size() - done);
        if (n <= 0) {
            return;
        }
        done += static_cast<size_t>(n);
    }
}

std::string PtyPeer::Take(size_t count, int timeoutMs) {
    std::string bytes;
    char buffer[4096];
    pollfd ready = {master_, POLLIN, 0};
    while (bytes.size() < count && poll(&ready, 1, timeoutMs) > 0) {
        const size_t want = count - bytes.size() < sizeof buffer ? count - bytes.size() : sizeof buffer;
        const ssize_t n = read(master_, buffer, want);
        if (n <= 0) {
            break;
        }
        bytes.append(buffer, static_cast<size_t>(n));
    }
    return bytes;
}

}  // namespace testing_support
