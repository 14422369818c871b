// Dialogue fuzzing: the input becomes what the handset sends on the in-memory
// line of the fuzz build, and a session is made ready to talk over it.
//
// Input layout: a scenario byte (its meaning is the target's), a byte whose
// low four bits give the number of silences, that many little-endian 16-bit
// stream offsets (a silence is one read that brings nothing, before the byte
// at that offset), then the bytes the handset sends.
#pragma once

#include <cstddef>
#include <cstdint>

struct Session;

namespace fuzz_support {

struct LineInput {
    uint8_t scenario;
    const uint8_t* stream;
    size_t streamSize;
};

// Takes the input apart and puts the stream and its silences on the line.
// Once the stream is used up the session's abort flag is set, so that waits
// without a limit of their own end.
LineInput StartLine(Session* session, const uint8_t* data, size_t size);

// Gives the session the state of a fresh load (log lines on) and opens COM1
// and, with `ports` 2, COM2 at 115200 baud on the fuzz line; the current
// port is port 0.
void OpenLineSession(Session* session, uint32_t ports);
// Checks what every dialogue must leave behind: no port in polling mode,
// the thread priorities popped as often as pushed; then closes the ports.
void CloseLineSession(Session* session);

// True for the codes a dialogue may end with.
bool IsErrorCode(uint32_t code);

}  // namespace fuzz_support
