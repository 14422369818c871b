#include "tools/handsetsim/frames.h"

#include "flashdll/link/crc32.h"
#include "flashdll/link/le.h"
#include "tools/handsetsim/line.h"

namespace handsetsim {

std::string TagName(uint32_t code) {
    std::string name;
    for (int shift = 0; shift < 32; shift += 8) {
        char c = static_cast<char>((code >> shift) & 0xFF);
        name += (c >= 0x20 && c < 0x7F) ? c : '.';
    }
    return name;
}

bool ContainsTag(const std::vector<uint8_t>& bytes, uint32_t code) {
    TagWindow window;
    for (uint8_t byte : bytes) {
        window.Push(byte);
        if (window.Value() == code) {
            return true;
        }
    }
    return false;
}

void AppendWord(std::vector<uint8_t>* out, uint32_t value) {
    uint8_t word[4];
    PutLe32(word, value);
    out->insert(out->end(), word, word + 4);
}

void AppendTag(std::vector<uint8_t>* out, uint32_t code) {
    AppendWord(out, code);
}

void AppendBytes(std::vector<uint8_t>* out, const std::vector<uint8_t>& bytes) {
    out->insert(out->end(), bytes.begin(), bytes.end());
}

uint32_t PayloadWord(const std::vector<uint8_t>& payload, size_t index) {
    if (payload.size() < 4 * (index + 1)) {
        return 0;
    }
    return GetLe32(payload.data() + 4 * index);
}

namespace {

bool ReadInto(Lines& lines, uint32_t uart, size_t count, int silenceMs, FrameBody* body,
              std::vector<uint8_t>* out) {
    out->resize(count);
    if (count == 0) {
        return true;
    }
    size_t got = 0;
    bool ok = lines.ReadExact(uart, out->data(), count, silenceMs, &got);
    // What was read before the silence is kept, so that the caller can look
    // through it for a resynchronisation request.
    body->consumed.insert(body->consumed.end(), out->begin(), out->begin() + got);
    return ok;
}

}  // namespace

FrameRead ReadFrameBody(Lines& lines, uint32_t uart, uint32_t maxPayload, uint32_t tail,
                        int silenceMs, FrameBody* body) {
    std::vector<uint8_t> word;
    if (!ReadInto(lines, uart, 4, silenceMs, body, &word)) {
        return FrameRead::Abandoned;
    }
    uint32_t length = GetLe32(word.data());
    if (length > maxPayload) {
        return FrameRead::TooLong;
    }
    if (!ReadInto(lines, uart, length, silenceMs, body, &body->payload)) {
        return FrameRead::Abandoned;
    }
    body->crcOk = true;
    if (length > 0) {
        if (!ReadInto(lines, uart, 4, silenceMs, body, &word)) {
            return FrameRead::Abandoned;
        }
        body->crcOk = GetLe32(word.data()) == Crc32(body->payload.data(), length);
    }
    if (!ReadInto(lines, uart, 4, silenceMs, body, &word)) {
        return FrameRead::Abandoned;
    }
    body->tailOk = GetLe32(word.data()) == tail;
    return FrameRead::Complete;
}

}  // namespace handsetsim
