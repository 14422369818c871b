// Pieces of the flash loader exchange shared by its files: exact reads on
// the current port, the hex lines of dump frames, and the data parts of a
// TXDT transfer.
#pragma once

#include <cstdint>

#include "flashdll/link/fourcc.h"

struct Session;

// Codes the flash loader sends.
constexpr uint32_t kFlReply = FourCC("rply");
constexpr uint32_t kFlOk = FourCC("+ok!");
constexpr uint32_t kFlErr = FourCC("-err");
constexpr uint32_t kFlReplyTail = FourCC("eom.");
constexpr uint32_t kFlMessage = FourCC("*msg");
constexpr uint32_t kFlMessageTail = FourCC("msg.");
constexpr uint32_t kFlDump = FourCC("*dmp");
constexpr uint32_t kFlDumpTail = FourCC("dmp.");
constexpr uint32_t kFlSyncAnswer = FourCC("syn!");

// Codes the library sends.
constexpr uint32_t kFlSync = FourCC("SYNC");
constexpr uint32_t kFlCommandTail = FourCC("EOT.");
constexpr uint32_t kFlSendData = FourCC("TXDT");

// The outcome of one ComRead: its success flag and the bytes it delivered.
struct ReadResult {
    int ok;
    uint32_t got;
};

// One ComRead of `length` bytes on the current port under its read time-out.
ReadResult ReadCurrentPort(Session* session, void* buffer, uint32_t length);
inline bool ReadComplete(const ReadResult& result, uint32_t length) {
    return result.ok != 0 && result.got == length;
}
// Reads one little-endian word; false on a failed or short read.
bool ReadWord(Session* session, uint32_t* value, ReadResult* result = nullptr);

// A dump frame's data is logged 16 bytes to a line: each byte as two
// upper-case hex digits and a blank, then a blank and the bytes as text in
// double quotes (a zero byte shown as a blank).
constexpr uint32_t kDumpLineBytes = 16;
constexpr uint32_t kDumpLineSize = kDumpLineBytes * 3 + 2 + kDumpLineBytes + 1 + 1;
// Formats up to 16 bytes (more are ignored) into `line` (kDumpLineSize bytes).
const char* FormatDumpLine(const uint8_t* bytes, uint32_t count, char* line);

// The raw data that follows a TXDT frame: one or two runs of the user image.
constexpr uint32_t kMaxDataParts = 2;
struct DataPart {
    const uint8_t* data;
    uint32_t length;
};
struct DataParts {
    uint32_t count;
    DataPart parts[kMaxDataParts];
};
// Finds the data parts a TXDT payload names in the user image. Refuses
// (ERR_BAD_PARAMS, with a log line) a payload too short for its part
// descriptors, a part count other than 1 or 2 or more parts than ports to
// carry them, an area index the user image does not have, and any part that
// does not lie wholly inside that area.
uint32_t ResolveDataParts(Session* session, const uint8_t* payload, uint32_t payloadLength,
                          DataParts* out);
