// What a session holds for the contents download: the contents file itself
// (contents/contents.h reads and decodes it) and FileWrite's command data.
#pragma once

#include <cstdint>

// The most file data one FileWrite carries (128 KiB).
constexpr uint32_t kMaxFileWriteBytes = 0x20000;
constexpr uint32_t kFileWriteHeadBytes = 8;  // handle and count words

// The contents file a session holds from its reading until ThreadProtocol ends.
struct HeldContents {
    uint8_t* data = nullptr;  // owned; nullptr when none is held
    uint32_t size = 0;
};

// The command data buffer of FileWrite, one per session: the handle, the
// count and a chunk of file data copied from the contents file.
struct FileWriteCommand {
    uint8_t bytes[kFileWriteHeadBytes + kMaxFileWriteBytes];
};
