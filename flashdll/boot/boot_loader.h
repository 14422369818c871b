// The boot loader phase: waking the handset's ROM boot loader and loading
// the setup loader and flash loader into its RAM.
#pragma once

#include <cstddef>
#include <cstdint>

struct Session;
struct ImageBuffer;

// Chooses the active or passive dialogue by the platform and runs it.
uint32_t TalkToBootLoader(Session* session);

// Active boot loader: O/r/K/rr/Z/E handshake, then numbered 4096-byte blocks.
constexpr uint32_t kRamBlockSize = 4096;
uint32_t TalkToActiveBootLoader(Session* session);
uint32_t LoadRam(Session* session);
bool WaitForProgReq(Session* session);
uint32_t SendBlockNumber(Session* session, uint32_t block);
uint32_t SendBlockData(Session* session, uint32_t block);
uint32_t SendBlockChecksum(Session* session, uint32_t block);
uint16_t BlockChecksum(const uint8_t* bytes, size_t count);
void ProtocolError(Session* session, const char* name, uint8_t expected, uint8_t received);

// Passive boot loader and setup loader: pings, framed commands, regions.
constexpr uint32_t kBlPayloadCapacity = 16516;  // address + length + 16,508 data bytes
constexpr uint32_t kBlMaxChunk = 16508;
uint32_t TalkToPassiveBootLoader(Session* session);
uint32_t TalkToSetupLoader(Session* session);
uint32_t BLSendCmd(Session* session, uint32_t command, uint32_t payloadLength,
                   const void* payload, uint32_t minReply, uint32_t maxReply,
                   void* reply, uint32_t timeoutMs);
// PC_SYNC, at most five attempts of 5 s: SUCCESS, ERR_ABORT, ERR_PROTOCOL
// when "sync" cannot be written, ERR_TIMEOUT after "Failed to sync".
uint32_t BLSync(Session* session);
