// Option strings: any text is parsed; a record the parser accepts is made
// into a string again, and that string must read back as the same record
// (the maker's string is a fixed point). A buffer too small for the string
// must receive whole items only, always NUL-terminated.
#include <cstring>
#include <string>

#include "flashdll/session/options.h"
#include "support/fuzz_host.h"

namespace {

using fuzz_support::FuzzHost;

constexpr uint32_t kMadeSize = 8192;  // more than any record's string

bool SameText(const char (&a)[FLASH_TEXT_FIELD], const char (&b)[FLASH_TEXT_FIELD]) {
    return std::memcmp(a, b, FLASH_TEXT_FIELD) == 0;
}

bool SameRanges(const FlashRange* a, uint32_t countA, const FlashRange* b, uint32_t countB) {
    if (countA != countB) return false;
    for (uint32_t i = 0; i < countA; ++i) {
        if (a[i].first != b[i].first || a[i].last != b[i].last) return false;
    }
    return true;
}

uint32_t PortsInUse(const FlashLoadOptions& o) { return o.com[1] < FLASH_NO_PORT ? 2u : 1u; }

// The fields the maker writes for modes 0, 1 and 2.
void CheckSameWrittenFields(const FlashLoadOptions& a, const FlashLoadOptions& b) {
    FUZZ_CHECK(a.mode == b.mode);
    FUZZ_CHECK(SameText(a.platform, b.platform));
    FUZZ_CHECK(a.sparenand == b.sparenand);
    FUZZ_CHECK(a.phases == b.phases);
    FUZZ_CHECK(a.noretry == b.noretry);
    FUZZ_CHECK(a.asyncerase == b.asyncerase);
    FUZZ_CHECK(a.com[0] == b.com[0] && a.com[1] == b.com[1]);
    for (uint32_t port = 0; port < PortsInUse(a); ++port) FUZZ_CHECK(a.maxspeed[port] == b.maxspeed[port]);
    if (a.mode == FLASH_MODE_FLASH) {
        FUZZ_CHECK(SameText(a.file, b.file));
        FUZZ_CHECK(SameRanges(a.reserved, a.reservedcount, b.reserved, b.reservedcount));
        FUZZ_CHECK(a.diff == b.diff && a.extprotect == b.extprotect && a.erase == b.erase);
    } else if (a.mode == FLASH_MODE_VERIFY) {
        FUZZ_CHECK(SameText(a.file, b.file));
    } else {
        FUZZ_CHECK(SameText(a.savefile, b.savefile));
        FUZZ_CHECK(SameRanges(a.read, a.readcount, b.read, b.readcount));
    }
}

// A buffer of `size` bytes gets a NUL-terminated prefix of the whole string,
// or all of it.
void CheckCutString(const FlashLoadOptions& options, const std::string& whole, uint32_t size) {
    std::string buffer(size + 1, '\x7f');  // one byte more: nothing may be written there
    const uint32_t code = FlashMakeOptionString(&options, buffer.data(), size);
    FUZZ_CHECK(buffer[size] == '\x7f');
    if (size == 0) {
        FUZZ_CHECK(code == ERR_NOMEM);
        return;
    }
    const size_t length = std::strlen(buffer.c_str());
    FUZZ_CHECK(length < size);
    FUZZ_CHECK(whole.compare(0, length, buffer.c_str()) == 0);
    FUZZ_CHECK(code == (whole.size() < size ? SUCCESS : ERR_NOMEM));
    FUZZ_CHECK(code == ERR_NOMEM || length == whole.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    static FuzzHost host;  // the parse and the maker keep nothing in the session
    FlashLoadOptions first = {};
    uint32_t count = 0;
    const uint32_t parsed = FlashParseOptionString(host.descriptor(), text.c_str(), &count, &first);
    FUZZ_CHECK(parsed == SUCCESS || (parsed == ERR_BAD_CMDLINE && count == 0));

    std::string made(kMadeSize, '\0');
    const uint32_t code = FlashMakeOptionString(&first, made.data(), kMadeSize);
    made.resize(std::strlen(made.c_str()));
    if (code != SUCCESS) {
        FUZZ_CHECK(code == ERR_BAD_PARAMS && made.empty());
        return 0;
    }
    CheckCutString(first, made, static_cast<uint32_t>(size % (made.size() + 2)));
    if (parsed != SUCCESS || first.mode > FLASH_MODE_READ) return 0;  // no option for a contents file

    FlashLoadOptions second = {};
    FUZZ_CHECK(FlashParseOptionString(host.descriptor(), made.c_str(), &count, &second) == SUCCESS);
    CheckSameWrittenFields(first, second);
    std::string again(kMadeSize, '\0');
    FUZZ_CHECK(FlashMakeOptionString(&second, again.data(), kMadeSize) == SUCCESS);
    FUZZ_CHECK(made == again.c_str());
    return 0;
}
