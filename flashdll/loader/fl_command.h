// The framed, checksummed command exchange with the flash loader.
#pragma once

#include <cstdint>

struct Session;
struct ContentsSlotView;

constexpr uint32_t kRetryAttempts = 5;   // attempt limit without noretry
// Payloads and replies are made of little-endian words; a reply that
// carries one value (a CRC, a file handle, a byte count) is one word long.
constexpr uint32_t kFlWordBytes = 4;
constexpr uint32_t kErrorRecordSize = 20;
constexpr uint32_t kMessageTextCapacity = 2048;
constexpr uint32_t kDumpDataCapacity = 4096;

// Scans the current port's input for any of `count` codes; the marker
// "?!!?" ends the wait with ERR_TIMEOUT. `*found` receives the code found.
uint32_t WaitFor4CCs(Session* session, uint32_t count, const uint32_t* codes,
                     uint32_t timeoutMs, uint32_t* found);
uint32_t WaitFor4CC(Session* session, uint32_t code, uint32_t timeoutMs);

// One command exchange. `reply` must hold max(expectedReplyLength, 20) bytes.
uint32_t FLSendCmd(Session* session, uint32_t command, uint32_t payloadLength,
                   const void* payload, uint32_t expectedReplyLength, void* reply,
                   uint32_t timeoutMs);
uint32_t FLHandleMsg(Session* session);
uint32_t FLHandleDump(Session* session);
// FL_CMD_SYNC with up to five attempts.
uint32_t FLSync(Session* session);
// FLSync between two attempts of a retry loop: SUCCESS, ERR_ABORT (the host
// asked for an abort meanwhile), or ERR_PROTOCOL after "Failed to sync".
uint32_t ResyncBeforeRetry(Session* session);

// The attempt limit of the options: 5, or 0 with noretry.
uint32_t AttemptLimit(const Session* session);

// Runs `operation(session, context)` under the retry-with-resync rule with
// attempt limit `limit`; `name` is the operation's log name ("OpenSector").
// `testAbort` false leaves out the abort test after the first failure.
using FlOperation = uint32_t (*)(Session* session, void* context);
uint32_t RetryWithResync(Session* session, const char* name, uint32_t limit,
                         FlOperation operation, void* context, bool testAbort = true);
