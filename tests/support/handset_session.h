// A session whose port 0 is UART 0 of a stand-in handset, for driving the
// boot loader dialogues directly (without a whole job), with a read time-out
// of the test's choosing.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "flashdll/session.h"
#include "support/pty_pair.h"  // PatternBytes
#include "support/recording_host.h"
#include "tools/handsetsim/handsetsim.h"

namespace testing_support {

struct LoaderRegion {
    uint32_t address;
    std::vector<uint8_t> bytes;
};

// Gives `image` one memory area of `areaSize` bytes at `base`, held in
// `storage` and filled with 0xFF, holding `regions` (sorted, disjoint,
// inside the area).
void FillImage(ImageBuffer* image, std::vector<uint8_t>* storage, uint32_t base,
               uint32_t areaSize, const std::vector<LoaderRegion>& regions);

class HandsetSession {
public:
    HandsetSession() = default;
    ~HandsetSession();
    HandsetSession(const HandsetSession&) = delete;
    HandsetSession& operator=(const HandsetSession&) = delete;

    // Starts the handset and opens port 0 on its UART 0. Log lines are on.
    bool Start(const handsetsim::Scenario& scenario, uint32_t readTimeoutMs, std::string* error);

    Session* session() { return session_.get(); }
    RecordingHost& host() { return host_; }
    handsetsim::Handset& handset() { return *handset_; }

    // FillImage with storage that lives as long as the session.
    void SetImage(ImageBuffer* image, uint32_t base, uint32_t areaSize,
                  const std::vector<LoaderRegion>& regions);
    // Sets the session's abort flag `ms` milliseconds from now.
    void AbortAfter(uint32_t ms);
    // Log lines that start with `prefix`, in order.
    std::vector<std::string> LinesStartingWith(const std::string& prefix) const;

private:
    RecordingHost host_;
    std::unique_ptr<handsetsim::Handset> handset_;
    std::unique_ptr<Session> session_;
    std::vector<std::unique_ptr<std::vector<uint8_t>>> areaData_;
    std::thread aborter_;
};

}  // namespace testing_support
