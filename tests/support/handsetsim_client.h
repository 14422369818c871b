// The PC side of the stand-in handset's own tests: a raw port on one of its
// pseudo-terminals, and the frames the PC sends and reads back.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include <termios.h>

#include "tools/handsetsim/handsetsim.h"

namespace handsetsim_test {

using Bytes = std::vector<uint8_t>;

class PcPort {
public:
    explicit PcPort(const std::string& path);
    ~PcPort();
    PcPort(const PcPort&) = delete;
    PcPort& operator=(const PcPort&) = delete;

    void SetSpeed(speed_t speed);
    void Write(const Bytes& bytes);
    void Write(const std::string& text) { Write(Bytes(text.begin(), text.end())); }
    // Up to `count` bytes; fewer once `timeoutMs` pass without a byte.
    Bytes Read(size_t count, int timeoutMs);
    // Reads until the four characters of `code` came; false on time-out.
    bool WaitFor(const std::string& code, int timeoutMs);

private:
    int fd_ = -1;
};

Bytes Words(std::initializer_list<uint32_t> words);
// Word `index` of `bytes`, or 0xDEADBEEF when they are too short.
uint32_t WordAt(const Bytes& bytes, size_t index);
// Code, length, payload, checksum (when there is a payload), tail.
Bytes Frame(const std::string& code, const Bytes& payload, const std::string& tail = "EOT.");

// A reply of the flash loader ("rply" ... "eom.") or, with `boot`, of the
// boot ROM or setup loader ("resp" ... "(hw)"; a "nack" carries no data).
struct Reply {
    std::string echo;
    bool ok = false;
    Bytes data;
    bool crcOk = false;
    bool tailOk = false;
};
bool ReadReply(PcPort& port, Reply* reply, bool boot = false, int timeoutMs = 2000);
// Sends a command frame and reads its reply.
Reply Exchange(PcPort& port, const std::string& code, const Bytes& payload, bool boot = false);
// The error word of a flash loader's "-err" reply; 0 for any other reply.
uint32_t ErrorWord(const Reply& reply);

// Pings until three "!" in a row came, then sends "#". False on time-out.
bool WakePassive(PcPort& port);
// Sends "*" until "#" and a letter come back; the letter, or 0 on time-out.
char SwitchOver(PcPort& port, int timeoutMs = 1000);

// One chip at kFlashBase of eight 8-KiB and four 64-KiB sectors, with the
// flash loader already running.
constexpr uint32_t kFlashBase = 0x20000000;
handsetsim::Scenario FlashScenario(uint32_t uarts = 1);

}  // namespace handsetsim_test
