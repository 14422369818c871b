#include "flashdll/api/option_parser.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "flashdll/report/notify.h"
#include "flashdll/session/options.h"
#include "flashdll/session/session.h"

namespace {

constexpr int kRefused = -1;
constexpr uint32_t kMaxComNumber = 64;
constexpr uint32_t kMaxListedPorts = 2;

constexpr const char* kUsageLines[kUsageLineCount] = {
    "Valid options: (values that contain blanks have to be enclosed in double quotes)",
    "/platform=#      specify type of hardware",
    "/com=#[,#]       com port(s) to be used (1..12)",
    "/mode=           flash|verify|read",
    "/file=name       filename of image to be flashed into mobile",
    "/savefile=name   filename to write the read data into",
    "/phases=         all|bl|fl",
    "/erase=#         number of erase passes on flash sectors (1..8)",
    "/debug=#         verbose output during operation (0|1)",
    "/reserved=#-#    treat memory range #..# as reserved",
    "/read=#-#        read memory range #..# from mobile",
    "/eraseunused=#   erase unused parts of flash (0|1) (very slow)",
    "/extprotect=#    extra safety for flash sectors (0|1) (slow)",
    "/noretry=#       in case of an error, no retry is done (0|1)",
    "/unattended=#    for use in batch files (0|1)",
    "/diff=#          only flash differences (0|1)",
    "/maxspeed=#[,#]  limit transfer speed to 57600|115200|230400|460800|921600",
};

struct Option {
    char key[kOptionKeySize];
    char value[kOptionValueSize];
    bool fits;  // false when the key or the value was longer than its buffer
};

struct Parse {
    Session* session;
    FlashLoadOptions* options;
};

struct Keyword;
using Handler = bool (*)(Parse& parse, const Keyword& keyword, const char* value);

struct Keyword {
    const char* name;
    Handler handler;
    uint32_t FlashLoadOptions::*flag;  // for the 0/1 switches only
};

// Texts of one range list.
struct RangeTexts {
    const char* tooMany;
    const char* bad;
    const char* overlap;
    const char* echo;
};

constexpr RangeTexts kReservedTexts = {
    "Too many /reserved definitions (max. %d)", "Bad /reserved definition: %s",
    "Overlapping /reserved regions defined", "/reserved=0x%08lx - 0x%08lx (%lu - %lu)"};
constexpr RangeTexts kReadTexts = {
    "Too many /read definitions (max. %d)", "Bad /read definition: %s",
    "Overlapping /read regions defined", "/read=0x%08lx - 0x%08lx (%lu - %lu)"};

struct Word {
    const char* text;
    uint32_t value;
};

constexpr Word kModeWords[] = {
    {"flash", FLASH_MODE_FLASH},  {"flash_contents", FLASH_MODE_FLASH_CONTENTS},
    {"contents", FLASH_MODE_CONTENTS}, {"verify", FLASH_MODE_VERIFY},
    {"suck", FLASH_MODE_READ},    {"read", FLASH_MODE_READ},
};
constexpr Word kPhaseWords[] = {
    {"all", FLASH_PHASES_ALL}, {"bl", FLASH_PHASES_BL}, {"fl", FLASH_PHASES_FL}};

// ---- Small text helpers -------------------------------------------------

bool EqualsIgnoreCase(const char* a, const char* b) {
    for (; *a != '\0' && *b != '\0'; ++a, ++b) {
        if (std::tolower(static_cast<unsigned char>(*a)) != std::tolower(static_cast<unsigned char>(*b))) {
            return false;
        }
    }
    return *a == *b;
}

// Copies [begin, end) into `buffer`; false (and a cut copy) when it does not fit.
bool CopyBounded(const char* begin, const char* end, char* buffer, size_t size) {
    const size_t length = static_cast<size_t>(end - begin);
    const size_t copied = std::min(length, size - 1);
    std::memcpy(buffer, begin, copied);
    buffer[copied] = '\0';
    return copied == length;
}

// The leading decimal integer of `text` in the manner of atoi: blanks and a
// sign may precede the digits, no digits give 0. Values beyond 32 bits are
// held at the nearest limit instead of wrapping into a small number.
int32_t LeadingInteger(const char* text) {
    while (std::isspace(static_cast<unsigned char>(*text))) ++text;
    const bool negative = *text == '-';
    if (*text == '-' || *text == '+') ++text;
    int64_t magnitude = 0;
    for (; std::isdigit(static_cast<unsigned char>(*text)); ++text) {
        magnitude = std::min<int64_t>(magnitude * 10 + (*text - '0'), int64_t{INT32_MAX} + 1);
    }
    const int64_t value = negative ? -magnitude : std::min<int64_t>(magnitude, INT32_MAX);
    return static_cast<int32_t>(value);
}

// Copies the next non-empty item of a ","-separated list into `item` (which
// holds kOptionValueSize bytes, as much as any value). Returns the position
// behind the item, or nullptr when no item is left.
const char* NextItem(const char* list, char* item) {
    while (*list == ',') ++list;
    if (*list == '\0') return nullptr;
    const char* end = list + std::strcspn(list, ",");
    CopyBounded(list, end, item, kOptionValueSize);
    return end;
}

bool LookUpWord(const Word* words, size_t count, const char* text, uint32_t* value) {
    for (size_t i = 0; i < count; ++i) {
        if (EqualsIgnoreCase(words[i].text, text)) {
            *value = words[i].value;
            return true;
        }
    }
    return false;
}

void LowerCase(const char* text, char* out) {
    for (; *text != '\0'; ++text, ++out) *out = static_cast<char>(std::tolower(static_cast<unsigned char>(*text)));
    *out = '\0';
}

// ---- Messages -------------------------------------------------------------

// Accepted options are echoed at level 0; a refusal is posted at level 2.
#define ECHO(parse, ...) PostHostMessage((parse).session, FLASH_LEVEL_INFO, __VA_ARGS__)
#define REFUSE(parse, ...) (PostHostMessage((parse).session, FLASH_LEVEL_ERROR, __VA_ARGS__), false)

bool RefuseUnknown(Parse& parse, const char* key) {
    REFUSE(parse, "Unknown option: %s", key);
    ShowUsage(parse.session);
    return false;
}

// ---- Option handlers ------------------------------------------------------

// Copies at most 250 characters, padding with NULs; a value of 250 or more
// fills the field without its NUL (the validity check refuses that later).
void StoreText(char (&field)[FLASH_TEXT_FIELD], const char* value) {
    const size_t length = std::min(std::strlen(value), sizeof field);
    std::memset(field, 0, sizeof field);
    std::memcpy(field, value, length);
}

bool HandleFile(Parse& parse, const Keyword&, const char* value) {
    StoreText(parse.options->file, value);
    ECHO(parse, "/file=%.250s", parse.options->file);
    return true;
}

bool HandleSavefile(Parse& parse, const Keyword&, const char* value) {
    StoreText(parse.options->savefile, value);
    ECHO(parse, "/savefile=%.250s", parse.options->savefile);
    return true;
}

bool HandlePlatform(Parse& parse, const Keyword&, const char* value) {
    StoreText(parse.options->platform, value);
    ECHO(parse, "/platform=%.250s", parse.options->platform);
    return true;
}

// The words one option takes, and its name in a refusal ("Unknown MODE x").
struct WordList {
    const Word* words;
    size_t count;
    const char* label;
};

// The value must be one of the list's words, in any case; it is echoed in
// lower case.
bool HandleWord(Parse& parse, const Keyword& keyword, const WordList& list, uint32_t* field,
                const char* value) {
    if (!LookUpWord(list.words, list.count, value, field)) {
        return REFUSE(parse, "Unknown %s %s", list.label, value);
    }
    char lower[kOptionValueSize];
    LowerCase(value, lower);
    ECHO(parse, "/%s=%s", keyword.name, lower);
    return true;
}

bool HandleMode(Parse& parse, const Keyword& keyword, const char* value) {
    const WordList modes = {kModeWords, std::size(kModeWords), "MODE"};
    return HandleWord(parse, keyword, modes, &parse.options->mode, value);
}

bool HandlePhases(Parse& parse, const Keyword& keyword, const char* value) {
    const WordList phases = {kPhaseWords, std::size(kPhaseWords), "PHASE"};
    return HandleWord(parse, keyword, phases, &parse.options->phases, value);
}

bool HandleFlag(Parse& parse, const Keyword& keyword, const char* value) {
    const uint32_t stored = LeadingInteger(value) != 0 ? 1 : 0;
    parse.options->*keyword.flag = stored;
    ECHO(parse, "/%s=%d", keyword.name, static_cast<int>(stored));
    return true;
}

bool HandleErase(Parse& parse, const Keyword&, const char* value) {
    parse.options->erase = static_cast<uint32_t>(LeadingInteger(value));
    if (parse.options->erase == 0) {
        return false;  // refused without a message
    }
    ECHO(parse, "/erase=%u", parse.options->erase);
    return true;
}

// "/com=" then "%u%c" per port: the number and "," before another port or a
// blank after the last.
void EchoPorts(Parse& parse, uint32_t given) {
    char text[32] = "/com=";
    size_t used = std::strlen(text);
    for (uint32_t i = 0; i < given; ++i) {
        const char separator = i + 1 < given ? ',' : ' ';
        used += static_cast<size_t>(std::snprintf(text + used, sizeof text - used, "%u%c",
                                                  parse.options->com[i] + 1, separator));
    }
    ECHO(parse, "%s", text);
}

bool HandleCom(Parse& parse, const Keyword&, const char* value) {
    FlashLoadOptions& options = *parse.options;
    options.com[0] = options.com[1] = FLASH_NO_PORT;
    char item[kOptionValueSize];
    uint32_t given = 0;
    for (const char* next = NextItem(value, item); next != nullptr && given < kMaxListedPorts;
         next = NextItem(next, item)) {
        const int32_t number = LeadingInteger(item);
        if (number < 1 || number > static_cast<int32_t>(kMaxComNumber)) {
            return REFUSE(parse, "%s is not a valid COM port. Valid are 1-12", item);
        }
        options.com[given++] = static_cast<uint32_t>(number - 1);
    }
    if (given == 0) {
        return REFUSE(parse, "No valid COM port specified.");
    }
    EchoPorts(parse, given);
    return true;
}

bool SpeedIndex(int32_t speed, uint32_t* index) {
    for (uint32_t i = 0; i < FLASH_SPEED_COUNT; ++i) {
        if (speed >= 0 && kSpeedList[i] == static_cast<uint32_t>(speed)) {
            *index = i;
            return true;
        }
    }
    return false;
}

void ResetMaxSpeeds(FlashLoadOptions& options) {
    options.maxspeed[0] = options.maxspeed[1] = kDefaultMaxSpeedIndex;
}

// An unsupported speed leaves the port's slot at its default.
bool StoreSpeed(Parse& parse, const char* item, uint32_t* slot) {
    if (!SpeedIndex(LeadingInteger(item), slot)) {
        return REFUSE(parse, "Unsupported MAXSPEED %s", item);
    }
    return true;
}

// One speed per port, in list order; every listed speed is examined, so
// that each unsupported one is reported. `*examined` counts the items.
bool StoreListedSpeeds(Parse& parse, const char* value, uint32_t* examined) {
    char item[kOptionValueSize];
    bool accepted = true;
    for (const char* next = NextItem(value, item); next != nullptr && *examined < kMaxListedPorts;
         next = NextItem(next, item), ++*examined) {
        accepted = StoreSpeed(parse, item, &parse.options->maxspeed[*examined]) && accepted;
    }
    return accepted;
}

bool HandleMaxSpeed(Parse& parse, const Keyword&, const char* value) {
    ResetMaxSpeeds(*parse.options);
    uint32_t examined = 0;
    const bool accepted = StoreListedSpeeds(parse, value, &examined);
    if (examined == 0) {
        return REFUSE(parse, "no valid /maxspeed pecified");
    }
    return accepted;
}

bool Overlap(const FlashRange& a, const FlashRange& b) {
    return a.first <= b.last && b.first <= a.last;
}

bool AddRange(Parse& parse, FlashRange* list, uint32_t* count, const RangeTexts& texts,
              const char* value) {
    if (*count >= FLASH_MAX_RANGES) {
        return REFUSE(parse, texts.tooMany, static_cast<int>(FLASH_MAX_RANGES));
    }
    FlashRange range;
    if (!ParseRange(value, &range)) {
        return REFUSE(parse, texts.bad, value);
    }
    for (uint32_t i = 0; i < *count; ++i) {
        if (Overlap(list[i], range)) {
            return REFUSE(parse, texts.overlap);
        }
    }
    list[(*count)++] = range;
    const unsigned long first = range.first;
    const unsigned long last = range.last;
    ECHO(parse, texts.echo, first, last, first, last);
    return true;
}

bool HandleReserved(Parse& parse, const Keyword&, const char* value) {
    return AddRange(parse, parse.options->reserved, &parse.options->reservedcount, kReservedTexts, value);
}

bool HandleRead(Parse& parse, const Keyword&, const char* value) {
    return AddRange(parse, parse.options->read, &parse.options->readcount, kReadTexts, value);
}

constexpr Keyword kKeywords[] = {
    {"com", HandleCom, nullptr},
    {"file", HandleFile, nullptr},
    {"suckfile", HandleSavefile, nullptr},
    {"savefile", HandleSavefile, nullptr},
    {"platform", HandlePlatform, nullptr},
    {"mode", HandleMode, nullptr},
    {"phases", HandlePhases, nullptr},
    {"maxspeed", HandleMaxSpeed, nullptr},
    {"erase", HandleErase, nullptr},
    {"debug", HandleFlag, &FlashLoadOptions::debug},
    {"reserved", HandleReserved, nullptr},
    {"suck", HandleRead, nullptr},
    {"read", HandleRead, nullptr},
    {"eraseunused", HandleFlag, &FlashLoadOptions::eraseunused},
    {"sparenand", HandleFlag, &FlashLoadOptions::sparenand},
    {"fsformat", HandleFlag, &FlashLoadOptions::fsformat},
    {"extprotect", HandleFlag, &FlashLoadOptions::extprotect},
    {"noretry", HandleFlag, &FlashLoadOptions::noretry},
    {"unattended", HandleFlag, &FlashLoadOptions::unattended},
    {"diff", HandleFlag, &FlashLoadOptions::diff},
    {"asyncerase", HandleFlag, &FlashLoadOptions::asyncerase},
};

bool HandleOption(Parse& parse, const Option& option) {
    if (!option.fits) {
        return RefuseUnknown(parse, option.key);
    }
    for (const Keyword& keyword : kKeywords) {
        if (EqualsIgnoreCase(keyword.name, option.key)) {
            return keyword.handler(parse, keyword, option.value);
        }
    }
    return RefuseUnknown(parse, option.key);
}

// ---- Reading the text -------------------------------------------------------

// The key runs up to "=" or ":" or the end of the text; blanks belong to it.
const char* ReadKey(const char* text, Option* option) {
    const char* end = text + std::strcspn(text, "=:");
    option->fits = CopyBounded(text, end, option->key, sizeof option->key);
    return end;
}

// A quoted value runs to the closing quote, which is left for the search of
// the next option; any other value runs to the next blank.
const char* ReadValue(const char* text, Option* option) {
    if (*text == '=' || *text == ':') ++text;
    while (*text == ' ') ++text;
    const char* begin = text;
    const char* end;
    if (*text == '"') {
        begin = text + 1;
        end = begin + std::strcspn(begin, "\"");
    } else {
        end = text + std::strcspn(text, " ");
    }
    option->fits = CopyBounded(begin, end, option->value, sizeof option->value) && option->fits;
    return end;
}

// Returns the number of accepted options, or kRefused.
int ParseText(Parse& parse, const char* text) {
    Option option;
    int result = 0;
    while (*text != '\0' && result != kRefused) {
        text += std::strcspn(text, "-/");
        if (*text == '\0') break;
        text = ReadKey(text + 1, &option);
        if (option.key[0] == '\0') break;
        text = ReadValue(text, &option);
        result = HandleOption(parse, option) ? result + 1 : kRefused;
    }
    return result;
}

void SortRanges(FlashRange* list, uint32_t count) {
    std::sort(list, list + count,
                     [](const FlashRange& a, const FlashRange& b) { return a.first < b.first; });
}

// One bound of a range: at most kRangeBoundMaxLength characters, decimal or
// (with an 'x' anywhere) hexadecimal, leading blanks skipped, trailing text
// ignored, and no more than 32 bits.
bool ParseBound(const char* begin, const char* end, uint32_t* value) {
    const size_t length = static_cast<size_t>(end - begin);
    if (length > kRangeBoundMaxLength) {
        return false;
    }
    char bound[kRangeBoundMaxLength + 1];
    CopyBounded(begin, end, bound, sizeof bound);
    const int base = std::strpbrk(bound, "xX") != nullptr ? 16 : 10;
    const char* digits = bound;
    while (std::isspace(static_cast<unsigned char>(*digits))) ++digits;
    char* stop = nullptr;
    errno = 0;
    const unsigned long long number = std::strtoull(digits, &stop, base);
    if (stop == digits || errno == ERANGE || number > UINT32_MAX) {
        return false;
    }
    *value = static_cast<uint32_t>(number);
    return true;
}

}  // namespace

bool ParseRange(const char* text, FlashRange* range) {
    const char* dash = std::strchr(text, '-');
    if (dash == nullptr) {
        return false;
    }
    const char* second = dash + 1;
    const char* secondEnd = second + std::strcspn(second, "-");
    FlashRange parsed;
    if (!ParseBound(text, dash, &parsed.first) || !ParseBound(second, secondEnd, &parsed.last)) {
        return false;
    }
    if (parsed.first >= parsed.last) {
        return false;
    }
    *range = parsed;
    return true;
}

void ShowUsage(Session* session) {
    for (const char* line : kUsageLines) {
        PostHostMessage(session, FLASH_LEVEL_INFO, "%s", line);
    }
}

extern "C" FLASHDLL_API uint32_t FlashParseOptionString(FlashHostDescriptor* host, const char* text,
                                                        uint32_t* count, FlashLoadOptions* options) {
    if (count != nullptr) {
        *count = 0;
    }
    Session* session = SessionOf(host);
    if (session == nullptr || text == nullptr || options == nullptr) {
        return ERR_BAD_PARAMS;
    }
    SetLoadOptionDefaults(options);
    Parse parse = {session, options};
    const int result = ParseText(parse, text);
    if (result == kRefused) {
        return ERR_BAD_CMDLINE;
    }
    SortRanges(options->reserved, options->reservedcount);
    SortRanges(options->read, options->readcount);
    if (count != nullptr) {
        *count = static_cast<uint32_t>(result);
    }
    return SUCCESS;
}
