// FlashMakeOptionString: the option string that describes a load options
// record, in the form the option parser reads back.
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "flashdll/flashdll.h"
#include "flashdll/session/options.h"
#include "flashdll/os/compiler.h"

namespace {

// Longest piece: " /mode=FLASH /file=\"" + 250 characters + "\"".
constexpr size_t kPieceSize = 320;

// The caller's buffer, filled piece by piece. A piece is appended only when
// it fits together with the terminating NUL, so the text always ends with
// a complete piece.
struct Output {
    char* buffer;
    uint32_t size;
    uint32_t used;
    bool full;  // a piece did not fit; nothing more is appended
};

void Append(Output& out, const char* format, ...) FLASHDLL_PRINTF(2, 3);

void Append(Output& out, const char* format, ...) {
    if (out.full) {
        return;
    }
    char piece[kPieceSize];
    va_list args;
    va_start(args, format);
    const int formatted = std::vsnprintf(piece, sizeof piece, format, args);
    va_end(args);
    const size_t length = formatted > 0 ? static_cast<size_t>(formatted) : 0;
    if (length >= out.size - out.used) {
        out.full = true;  // no room for the piece and its NUL
        return;
    }
    std::memcpy(out.buffer + out.used, piece, length + 1);
    out.used += static_cast<uint32_t>(length);
}

void AppendRanges(Output& out, const char* format, const FlashRange* ranges, uint32_t count) {
    for (uint32_t i = 0; i < count; ++i) {
        Append(out, format, static_cast<unsigned long>(ranges[i].first),
               static_cast<unsigned long>(ranges[i].last));
    }
}

// Texts come from fixed fields of 250 bytes; "%.250s" never reads past one.
void AppendFlashItems(Output& out, const FlashLoadOptions& options) {
    Append(out, " /mode=FLASH /file=\"%.250s\"", options.file);
    AppendRanges(out, " /reserved=0x%lx-0x%lx", options.reserved, options.reservedcount);
    Append(out, " /diff=%u", options.diff);
    if (options.extprotect != 0) {
        Append(out, " /extprotect=%u", 1u);
    }
    if (options.erase != 1) {
        Append(out, " /erase=%u", options.erase);
    }
}

void AppendContentsItems(Output& out, const FlashLoadOptions& options) {
    Append(out, " /contents=\"%.250s\"", options.contentsfile);
    Append(out, " /fsformat=%u", options.fsformat);
}

void AppendModeItems(Output& out, const FlashLoadOptions& options) {
    switch (options.mode) {
    case FLASH_MODE_FLASH:
        AppendFlashItems(out, options);
        break;
    case FLASH_MODE_VERIFY:
        Append(out, " /mode=VERIFY /file=\"%.250s\"", options.file);
        break;
    case FLASH_MODE_READ:
        Append(out, " /mode=READ /savefile=\"%.250s\"", options.savefile);
        AppendRanges(out, " /read=0x%lx-0x%lx", options.read, options.readcount);
        break;
    case FLASH_MODE_FLASH_CONTENTS:
        AppendContentsItems(out, options);
        AppendFlashItems(out, options);
        break;
    case FLASH_MODE_CONTENTS:
        AppendContentsItems(out, options);
        break;
    default:
        break;
    }
}

// " /com=3,4 /maxspeed=921600,57600": the speeds of the ports written.
void AppendPortItems(Output& out, const FlashLoadOptions& options) {
    constexpr uint32_t kListedPorts = 2;
    Append(out, " /com=");
    uint32_t count = 0;
    for (uint32_t port = 0; port < kListedPorts; ++port) {
        if (options.com[port] >= FLASH_NO_PORT) {
            continue;
        }
        if (port == 1) {
            Append(out, ",");
        }
        Append(out, "%u", options.com[port] + 1);
        ++count;
    }
    Append(out, " /maxspeed=");
    for (uint32_t port = 0; port < count; ++port) {
        if (port > 0) {
            Append(out, ",");
        }
        Append(out, "%u", kSpeedList[options.maxspeed[port]]);
    }
}

void AppendSwitchItems(Output& out, const FlashLoadOptions& options) {
    if (options.phases != FLASH_PHASES_ALL) {
        Append(out, " /phases=%s", options.phases == FLASH_PHASES_BL ? "BL" : "FL");
    }
    if (options.noretry != 0) {
        Append(out, " /noretry=%u", 1u);
    }
    if (options.asyncerase != 0) {
        Append(out, " /asyncerase=%u", 1u);
    }
}

// The parser ends a quoted value at the next double quote and has no escape
// for one, so a text holding a double quote would read back as another text
// (or as other options).
bool Quotable(const char (&field)[FLASH_TEXT_FIELD]) {
    const void* end = std::memchr(field, '\0', sizeof field);
    const size_t length = end != nullptr ? static_cast<size_t>(static_cast<const char*>(end) - field) : sizeof field;
    return std::memchr(field, '"', length) == nullptr;
}

// Every text the record's mode writes can be written between double quotes.
bool TextsQuotable(const FlashLoadOptions& options) {
    const uint32_t mode = options.mode;
    const bool file = mode == FLASH_MODE_FLASH || mode == FLASH_MODE_VERIFY || mode == FLASH_MODE_FLASH_CONTENTS;
    const bool contents = mode == FLASH_MODE_FLASH_CONTENTS || mode == FLASH_MODE_CONTENTS;
    return Quotable(options.platform) && (!file || Quotable(options.file)) &&
           (mode != FLASH_MODE_READ || Quotable(options.savefile)) && (!contents || Quotable(options.contentsfile));
}

}  // namespace

extern "C" FLASHDLL_API uint32_t FlashMakeOptionString(const FlashLoadOptions* options, char* buffer,
                                                       uint32_t size) {
    if (buffer == nullptr) {
        return ERR_BAD_PARAMS;
    }
    if (size > 0) {
        buffer[0] = '\0';
    }
    const uint32_t check = CheckLoadOptions(options);  // also refuses a null record
    if (check != SUCCESS) {
        return check;
    }
    if (!TextsQuotable(*options)) {
        return ERR_BAD_PARAMS;  // no option string describes this record
    }
    Output out = {buffer, size, 0, size == 0};
    Append(out, "/platform=\"%.250s\"", options->platform);
    Append(out, " /sparenand=%u", options->sparenand);
    AppendModeItems(out, *options);
    AppendPortItems(out, *options);
    AppendSwitchItems(out, *options);
    return out.full ? ERR_NOMEM : SUCCESS;
}
