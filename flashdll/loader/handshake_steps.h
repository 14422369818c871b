// The steps of the flash loader handshake, shared by its files, and the
// pure pieces tests reach directly.
#pragma once

#include <cstddef>
#include <cstdint>

#include "flashdll/hw/flash_chip.h"

struct Session;
struct PortRecord;

constexpr uint32_t kInfoRequestWords = 14;
constexpr uint32_t kInfoReplyBytes = 148;   // 37 words
constexpr uint32_t kUnknownUart = 0xFFFF;

// The ids one chip slot of the INFO reply carries. Each id word holds the
// manufacturer code in bits 16..23.
struct ChipIds {
    uint32_t amdId, amdDevice;
    uint32_t intelId, intelDevice;
    uint32_t nandId, nandDevice;
    uint32_t start;  // chip start address
};

struct DeviceInfo {
    uint32_t major, minor;
    uint32_t chipCount;
    ChipIds chips[kMaxChips];
    uint32_t maxTxSize, maxRxSize;
    uint32_t mobileSpeeds[kMobileSpeedCount];
};

// The manufacturer code of an id word.
inline uint32_t ManufacturerCode(uint32_t idWord) { return (idWord >> 16) & 0xFF; }

// The 14 words of the INFO request (56 bytes into `out`).
void BuildInfoRequest(const Session* session, uint8_t* out);
// Decodes the 148-byte INFO reply; false when it reports more chips than
// it has slots for.
bool DecodeDeviceInfo(const uint8_t* reply, DeviceInfo* info);

// Turns the reported chips into flash chip records through the catalogue,
// with the chip lines; ERR_FLASHTYPE for a chip the catalogue cannot place.
uint32_t DetectChips(Session* session, const DeviceInfo& info);

// "Mobile transfer speeds: 115200, 921600": the list ends at the first 0
// entry. Writes into `out` (`size` bytes) and returns it.
constexpr size_t kSpeedListTextSize = 96;  // the prefix and five 10-digit entries fit
const char* FormatSpeedList(const uint32_t* speeds, char* out, size_t size);
// The speed-list entry for a maxspeed index (115200 above the last index).
uint32_t SpeedLimit(uint32_t maxspeedIndex);
// The fastest mobile speed that is at most `limit` and that the port
// accepts; 0 when there is none.
uint32_t ChooseLinkSpeed(const uint32_t* mobileSpeeds, uint32_t limit, const PortRecord& port);
// A port's percentage of the summed rates, rounded down (0 when total is 0).
uint32_t TransferShare(uint32_t baudRate, uint32_t totalBaud);

// The connection test of the other port (with the fall-back to one port),
// the baud rate changes and the transfer shares.
uint32_t TestConnections(Session* session);
uint32_t RaiseBaudRates(Session* session);
void AssignTransferShares(Session* session);
