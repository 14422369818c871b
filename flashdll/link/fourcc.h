// Four-character codes: four ASCII characters sent first character first,
// held in memory as a little-endian word (the first character in the low
// byte) so that they are written and compared as one word.
#pragma once

#include <cstdint>

constexpr uint32_t FourCC(const char (&text)[5]) {
    return static_cast<uint32_t>(static_cast<uint8_t>(text[0])) |
           static_cast<uint32_t>(static_cast<uint8_t>(text[1])) << 8 |
           static_cast<uint32_t>(static_cast<uint8_t>(text[2])) << 16 |
           static_cast<uint32_t>(static_cast<uint8_t>(text[3])) << 24;
}

// The four characters of a code, first to last, for "%c%c%c%c".
#define FOURCC_CHARS(code)                                              \
    static_cast<char>((code) & 0xFF), static_cast<char>(((code) >> 8) & 0xFF), \
        static_cast<char>(((code) >> 16) & 0xFF), static_cast<char>(((code) >> 24) & 0xFF)
