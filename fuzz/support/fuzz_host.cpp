#include "support/fuzz_host.h"

#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>

#include "flashdll/session/session.h"

namespace fuzz_support {

namespace {

constexpr size_t kLongestText = 259;  // every formatted text is cut to this

void CheckText(const char* text) {
    if (text == nullptr) return;
    FUZZ_CHECK(std::strlen(text) <= kLongestText);
}

// FLASHDLL_FUZZ_VERBOSE=1 prints every message: what a seed makes of a dialogue.
const bool g_verbose = std::getenv("FLASHDLL_FUZZ_VERBOSE") != nullptr;

void OnMessage(FlashHostDescriptor*, uint32_t level, const char* text) {
    FUZZ_CHECK(level <= FLASH_LEVEL_ERROR);
    CheckText(text);
    if (g_verbose) std::fprintf(stderr, "[%u] %s\n", level, text);
}
void OnStatusText(FlashHostDescriptor*, const char* text) { CheckText(text); }
void OnProgressBegin(FlashHostDescriptor*, const char* title, uint32_t total) {
    CheckText(title);
    FUZZ_CHECK(total != 0);
}
void OnProgressUpdate(FlashHostDescriptor*, uint32_t, uint32_t percent) { FUZZ_CHECK(percent <= 100); }
void OnProgressEnd(FlashHostDescriptor*) {}
int32_t OnPollAbort(FlashHostDescriptor*) { return 0; }

}  // namespace

void CheckFailed(const char* condition, const char* file, int line) {
    std::fprintf(stderr, "fuzz check failed: %s (%s:%d)\n", condition, file, line);
    std::abort();
}

FuzzHost::FuzzHost() {
    ScratchDir();  // FLASHDLL_HOME must be set before FlashInit reads it
    descriptor_.size = sizeof descriptor_;
    FUZZ_CHECK(FlashInit(&descriptor_, &options_) == SUCCESS);
    descriptor_.OnMessage = OnMessage;
    descriptor_.OnStatusText = OnStatusText;
    descriptor_.OnProgressBegin = OnProgressBegin;
    descriptor_.OnProgressUpdate = OnProgressUpdate;
    descriptor_.OnProgressEnd = OnProgressEnd;
    descriptor_.OnPollAbort = OnPollAbort;
    session_ = SessionOf(&descriptor_);
    FUZZ_CHECK(session_ != nullptr);
    session_->options.debug = 1;
}

FuzzHost::~FuzzHost() { FlashFinish(&descriptor_); }

namespace {

// Files are written for every input: memory-backed storage makes that about
// ten times faster than a disk.
std::string ScratchParent() {
    std::error_code error;
    if (std::filesystem::is_directory("/dev/shm", error)) return "/dev/shm";
    const char* tmp = std::getenv("TMPDIR");
    return tmp != nullptr && tmp[0] != '\0' ? tmp : "/tmp";
}

std::string g_scratch;

void RemoveScratch() {
    std::error_code error;
    std::filesystem::remove_all(g_scratch, error);
}

}  // namespace

const std::string& ScratchDir() {
    static const std::string dir = [] {
        std::string pattern = ScratchParent() + "/flashdll-fuzz-XXXXXX";
        FUZZ_CHECK(mkdtemp(pattern.data()) != nullptr);
        setenv("FLASHDLL_HOME", pattern.c_str(), 1);
        g_scratch = pattern;
        std::atexit(RemoveScratch);
        return pattern + "/";
    }();
    return dir;
}

std::string WriteScratchFile(const char* name, const uint8_t* data, size_t size) {
    const std::string path = ScratchDir() + name;
    std::FILE* file = std::fopen(path.c_str(), "wb");
    FUZZ_CHECK(file != nullptr);
    FUZZ_CHECK(size == 0 || std::fwrite(data, 1, size, file) == size);
    FUZZ_CHECK(std::fclose(file) == 0);
    return path;
}

uint32_t Le32(const uint8_t* data, size_t size, size_t offset) {
    uint32_t value = 0;
    for (size_t i = 0; i < 4; ++i) {
        if (offset + i < size) value |= static_cast<uint32_t>(data[offset + i]) << (8 * i);
    }
    return value;
}

}  // namespace fuzz_support
