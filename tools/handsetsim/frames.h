// Building and reading the framed messages the handset exchanges with the
// PC: little-endian words, four-character codes found by scanning, frames of
// code, length, payload, checksum and tail.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "flashdll/link/fourcc.h"

namespace handsetsim {

class Lines;

// The last four bytes seen on a line, oldest in the low byte, so that a
// code compares as one word.
class TagWindow {
public:
    void Push(uint8_t byte) { value_ = (value_ >> 8) | static_cast<uint32_t>(byte) << 24; }
    uint32_t Value() const { return value_; }
    void Clear() { value_ = 0; }

private:
    uint32_t value_ = 0;
};

// The four characters of a code ("OPEN").
std::string TagName(uint32_t code);
// True when `bytes` hold `code` anywhere.
bool ContainsTag(const std::vector<uint8_t>& bytes, uint32_t code);

void AppendWord(std::vector<uint8_t>* out, uint32_t value);
void AppendTag(std::vector<uint8_t>* out, uint32_t code);
void AppendBytes(std::vector<uint8_t>* out, const std::vector<uint8_t>& bytes);

// Word `index` of a payload (0 when the payload is too short).
uint32_t PayloadWord(const std::vector<uint8_t>& payload, size_t index);

// A command frame after its code: the payload and how it checked out.
struct FrameBody {
    std::vector<uint8_t> payload;
    bool crcOk = false;
    bool tailOk = false;
    std::vector<uint8_t> consumed;  // every byte read after the code
};

enum class FrameRead {
    Complete,   // all fields read (check crcOk and tailOk)
    TooLong,    // the length word exceeds `maxPayload`; nothing more was read
    Abandoned,  // the line fell silent inside the frame, or the handset was interrupted
};

// Reads length, payload, checksum (when the payload is not empty) and tail
// of a frame on `uart`, each byte within `silenceMs` of the one before.
FrameRead ReadFrameBody(Lines& lines, uint32_t uart, uint32_t maxPayload, uint32_t tail,
                        int silenceMs, FrameBody* body);

}  // namespace handsetsim
