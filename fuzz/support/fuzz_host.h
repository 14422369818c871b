// What every fuzz target shares: a session with a host that checks each text
// it receives, a scratch home directory for the files the library reads, and
// the check that turns a broken invariant into a crash libFuzzer reports.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "flashdll/flashdll.h"

struct Session;

// Prints the failed condition and aborts, so that libFuzzer saves the input.
#define FUZZ_CHECK(condition)                                                   \
    do {                                                                        \
        if (!(condition)) fuzz_support::CheckFailed(#condition, __FILE__, __LINE__); \
    } while (0)

namespace fuzz_support {

[[noreturn]] void CheckFailed(const char* condition, const char* file, int line);

// A session made by FlashInit for a host whose callbacks read every text to
// its end and check its length (texts are cut to 259 characters). Log lines
// are on, so that every log text is formatted. FlashFinish on destruction.
class FuzzHost {
public:
    FuzzHost();
    ~FuzzHost();
    FuzzHost(const FuzzHost&) = delete;
    FuzzHost& operator=(const FuzzHost&) = delete;

    FlashHostDescriptor* descriptor() { return &descriptor_; }
    FlashLoadOptions* options() { return &options_; }
    Session* session() { return session_; }

private:
    FlashHostDescriptor descriptor_ = {};
    FlashLoadOptions options_ = {};
    Session* session_ = nullptr;
};

// The scratch directory (with its trailing '/'), made once per process and
// named by FLASHDLL_HOME, so that the module directory is there.
const std::string& ScratchDir();
// Writes `size` bytes to `name` inside the scratch directory; its path.
std::string WriteScratchFile(const char* name, const uint8_t* data, size_t size);

// Reads a little-endian word from the input, 0 beyond its end.
uint32_t Le32(const uint8_t* data, size_t size, size_t offset);

}  // namespace fuzz_support
