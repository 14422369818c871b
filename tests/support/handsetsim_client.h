// The PC side of the stand-in handset's tests: a raw serial port on a
// handset UART's pseudo-terminal, and the frames the PC sends and receives.
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
    explicit PcPort(const std::string& path, speed_t speed = B115200);
    ~PcPort();
    PcPort(const PcPort&) = delete;
    PcPort& operator=(const PcPort&) = delete;

    bool IsOpen() const { return fd_ >= 0; }
    void SetSpeed(speed_t speed);
    void Write(const Bytes& bytes);
    void Write(const std::string& text);
    // Up to `count` bytes; fewer when `timeoutMs` pass without a byte.
    Bytes Read(size_t count, int timeoutMs);
    // Everything that comes until the line has been quiet for `quietMs`.
    Bytes ReadUntilQuiet(int quietMs);
    // Reads until the four characters of `code` came; false on time-out.
    bool WaitFor(const std::string& code, int timeoutMs, Bytes* before = nullptr);
    // Reads until `byte` came; false on time-out.
    bool WaitForByte(uint8_t byte, int timeoutMs);
    void Discard();

private:
    int fd_ = -1;
};

Bytes Words(std::initializer_list<uint32_t> words);
uint32_t WordAt(const Bytes& bytes, size_t index);
void Append(Bytes* out, const Bytes& more);
// A command frame: code, length, payload, checksum (when there is a payload), tail.
Bytes Frame(const std::string& code, const Bytes& payload, const std::string& tail);
Bytes FlashCommand(const std::string& code, const Bytes& payload);  // tail "EOT."
Bytes BootCommand(const std::string& code, const Bytes& payload);   // tail "(pc)"

// A flash loader reply, read after "rply" was found.
struct FlReply {
    std::string echo;
    bool ok = false;
    Bytes data;
    bool crcOk = false;
    bool tailOk = false;
    Bytes before;  // what came ahead of "rply" (messages, dumps, noise)
};
bool ReadFlReply(PcPort& port, FlReply* reply, int timeoutMs = 2000);
// Sends a command and reads its reply.
FlReply Exchange(PcPort& port, const std::string& code, const Bytes& payload);

// A boot ROM or setup loader reply.
struct BlReply {
    std::string echo;
    bool ok = false;
    Bytes data;
    bool crcOk = false;
    bool tailOk = false;
};
bool ReadBlReply(PcPort& port, BlReply* reply, int timeoutMs = 2000);
BlReply BootExchange(PcPort& port, const std::string& code, const Bytes& payload);

// Pings until three "!" in a row came, then sends "#". False on time-out.
bool WakePassive(PcPort& port);
// Sends "*" until "#" and a letter come back; the letter, or 0 on time-out.
char SwitchOver(PcPort& port, int timeoutMs = 1000);

// A scenario with one chip of 8 sectors of 8 KiB and 4 of 64 KiB at
// 0x20000000 and the flash loader already running.
handsetsim::Scenario FlashScenario(uint32_t uarts = 1);
constexpr uint32_t kFlashBase = 0x20000000;

}  // namespace handsetsim_test
