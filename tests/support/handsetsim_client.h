// The PC side of the stand-in handset's own tests: a raw port on one of its
// pseudo-terminals, and the frames the PC sends and reads back.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <unistd.h>

#include "support/link_session.h"
#include "tools/handsetsim/handsetsim.h"

namespace handsetsim_test {

using testing_support::Bytes;
using testing_support::Frame;
using testing_support::operator+;
using testing_support::Text;

class PcPort {
public:
    explicit PcPort(const std::string& path);  // raw, 115200 baud
    ~PcPort() { close(fd_); }
    PcPort(const PcPort&) = delete;
    PcPort& operator=(const PcPort&) = delete;

    void Write(const Bytes& bytes);
    void Write(const std::string& text) { Write(Bytes(text.begin(), text.end())); }
    // Up to `count` bytes; fewer once `timeoutMs` pass without a byte.
    Bytes Read(size_t count, int timeoutMs);
    // Reads until the four characters of `code` came; false on time-out.
    bool WaitFor(const std::string& code, int timeoutMs);

private:
    int fd_;
};

Bytes Words(std::initializer_list<uint32_t> words);
uint32_t WordAt(const Bytes& bytes, size_t index);  // 0xDEADBEEF when too short
Bytes Pattern(size_t count, uint8_t seed);

// A flash loader's reply ("rply" ... "eom.") or, with `boot`, a boot ROM's
// or setup loader's ("resp" ... "(hw)"; a "nack" carries no data).
struct Reply {
    bool ok = false, crcOk = false, tailOk = false;
    Bytes data;
};
bool ReadReply(PcPort& port, Reply* reply, bool boot = false, int timeoutMs = 2000);
// The error word of a flash loader's "-err" reply; 0 for any other reply.
uint32_t ErrorWord(const Reply& reply);

// Pings until three "!" in a row came, then sends "#". False on time-out.
bool WakePassive(PcPort& port);
// Sends "*" until "#A" comes back; false on time-out.
bool SwitchOver(PcPort& port, int timeoutMs = 1000);

// The flash loader already running, one chip at kFlashBase: sectors 0..7 of
// 8 KiB, 8..11 of 64 KiB.
constexpr uint32_t kFlashBase = 0x20000000;
handsetsim::Scenario FlashScenario();

class HandsetTest : public ::testing::Test {
protected:
    // Starts the handset and opens UART0; with the flash loader running,
    // waits for its "#A" and, with `setUp`, sends the SETP for its chip.
    void Begin(const handsetsim::Scenario& scenario = FlashScenario(), bool setUp = true);
    // Sends a command frame on UART0 and reads its reply.
    Reply Ask(const std::string& code, const Bytes& payload, bool boot = false);

    std::unique_ptr<handsetsim::Handset> handset_;
    std::unique_ptr<PcPort> port_;
};

}  // namespace handsetsim_test
