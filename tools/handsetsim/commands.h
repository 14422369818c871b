// The flash loader's commands: what a handler gets (the decoded frame, and
// for TXDT the data parts that followed it), what it answers, and the state
// the flash loader keeps while it runs.
#pragma once

#include <cstdint>
#include <map>
#include <vector>

#include "tools/handsetsim/state.h"

namespace handsetsim {

constexpr uint32_t kNoUart = 0xFFFFFFFF;

// Error words of the flash loader's "-err" records (word 0; word 1 is the
// command's code, words 2 to 4 details such as an address and a length).
enum LoaderError : uint32_t {
    kErrFrame = 1,        // bad checksum, bad tail or a length beyond the buffer
    kErrPayload = 2,      // payload of the wrong size or with impossible values
    kErrState = 3,        // not set up, no open sector, nothing mounted
    kErrRange = 4,        // address range outside the sector or the flash
    kErrPartCrc = 5,      // a TXDT data part did not match its checksum
    kErrPartMissing = 6,  // a TXDT data part did not arrive in full
    kErrLimit = 7,        // more than the loader's TX or RX size
    kErrHandle = 8,       // unknown file handle
    kErrChip = 9,         // SETP names chips the loader did not report
    kErrInjected = 10,    // a scenario fault
    kErrSpeed = 11,       // BAUD for a UART or a rate the loader does not have
};

struct Request {
    uint32_t uart = 0;                       // UART the frame came on
    uint32_t code = 0;
    std::vector<uint8_t> payload;
    std::vector<std::vector<uint8_t>> parts; // TXDT: the data parts, in descriptor order
};

struct Reply {
    bool ok = true;
    std::vector<uint8_t> data;               // "+ok!" data
    uint32_t error[5] = {};                  // "-err" record
    uint32_t baudUart = kNoUart, baudRate = 0;  // BAUD: switch this UART after the reply
};

Reply Fail(uint32_t error, uint32_t code, uint32_t detail1 = 0, uint32_t detail2 = 0,
           uint32_t detail3 = 0);
Reply Ok(std::vector<uint8_t> data = {});

struct OpenSector {
    bool open = false;
    uint32_t chip = 0, sector = 0, address = 0, size = 0, flags = 0;
    std::vector<uint8_t> buffer;
};

struct LoaderState {
    uint32_t commandUart = kNoUart;  // UART of the switch-over and of the last command
    uint32_t switchUart = kNoUart;   // UART of the first switch-over answered
    bool betweenExchanges = true;    // nothing came since an exchange finished
    bool setUp = false;              // SETP came (and no DONE since)
    OpenSector sector;
    uint32_t mountedType = 0;        // file system mounted (0: none)
    std::map<uint32_t, size_t> handles;  // open file handle -> file index
    uint32_t nextHandle = 1;
};

// A handler runs with the shared state locked.
using Handler = Reply (*)(Context& ctx, LoaderState& state, const Request& request);

struct CommandEntry {
    uint32_t code;
    Handler handler;
    bool needsSetup;
};

// The command of this code, or null for a code the loader does not know.
const CommandEntry* FindCommand(uint32_t code);

// File-system handlers (fs_commands.cpp).
Reply MountFs(Context& ctx, LoaderState& state, const Request& request);
Reply OpenFile(Context& ctx, LoaderState& state, const Request& request);
Reply WriteFile(Context& ctx, LoaderState& state, const Request& request);
Reply CloseFile(Context& ctx, LoaderState& state, const Request& request);
Reply CheckFileSize(Context& ctx, LoaderState& state, const Request& request);
Reply UnmountFs(Context& ctx, LoaderState& state, const Request& request);

// TXDT's layout: what the frame says about the data parts that follow it.
struct PartPlan {
    uint32_t uart, offset, length, crc;
};
constexpr uint32_t kTxdtPayloadBytes = 48;
// The parts a TXDT payload announces; false when the payload is not one the
// loader can take (then no part is read).
bool PlanParts(const Context& ctx, const std::vector<uint8_t>& payload, std::vector<PartPlan>* parts);

}  // namespace handsetsim
