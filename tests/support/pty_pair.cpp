#include "support/pty_pair.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace testing_support {

PtyPair::PtyPair() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    char name[128];
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0 ||
        ptsname_r(master_, name, sizeof name) != 0) {
        return;
    }
    slavePath_ = name;
    slave_ = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
}

PtyPair::~PtyPair() {
    if (slave_ >= 0) close(slave_);
    CloseMaster();
}

void PtyPair::CloseMaster() {
    if (master_ >= 0) close(master_);
    master_ = -1;
}

bool PtyPair::Send(const void* data, size_t length) {
    const auto* bytes = static_cast<const uint8_t*>(data);
    for (size_t done = 0; done < length;) {
        const ssize_t n = write(master_, bytes + done, length - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
            return false;
        } else {
            pollfd entry = {master_, POLLOUT, 0};
            poll(&entry, 1, 100);
        }
    }
    return true;
}

std::vector<uint8_t> PtyPair::Receive(size_t length, int quietMs) {
    std::vector<uint8_t> data;
    uint8_t chunk[4096];
    pollfd entry = {master_, POLLIN, 0};
    while (data.size() < length && poll(&entry, 1, quietMs) > 0) {
        const ssize_t n = read(master_, chunk, std::min(sizeof chunk, length - data.size()));
        if (n <= 0) break;
        data.insert(data.end(), chunk, chunk + n);
    }
    return data;
}

}  // namespace testing_support
