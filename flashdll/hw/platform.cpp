// Reading and checking one platform section of platform.def into a
// platform record, and the user image's memory areas that follow
// from the platform's flash layout.
#include "flashdll/hw/platform.h"

#include <cctype>
#include <cstdio>
#include <cstring>

#include "flashdll/image/image_buffer.h"
#include "flashdll/image/ranges.h"
#include "flashdll/report/notify.h"
#include "flashdll/os/exe_path.h"
#include "flashdll/os/ini.h"
#include "flashdll/report/size_text.h"

namespace {

constexpr uint32_t kValueSize = 256;              // every value is read into this many bytes
constexpr uint32_t kLoaderNameSize = kPathSize + 1;  // one more: a cut loader name is noticed
constexpr uint32_t kMaxFlashKeys = 8;             // Flash0 ... Flash7
constexpr uint32_t kMiB = 0x100000;
constexpr uint32_t kMaxFlashSizeMiB = 1024;
constexpr uint64_t kAddressSpace = 0x100000000ull;
constexpr uint32_t kNandWindowAlign = 0x4000000;  // 64 MiB: memory interface type 1
constexpr uint32_t kNorWindowAlign = 0x100000;    // 1 MiB: memory interface type 0
constexpr uint32_t kMaxChipSelect = 7;
constexpr uint32_t kNoBase = 1;                   // "base" of a definition without any comma
constexpr uint32_t kNoChipSelect = 999;           // "chip select" of a definition without one
constexpr uint32_t kMinImageSizeMiB = 4;
constexpr uint32_t kMaxImageSizeMiB = 64;
// The spare areas of NAND flash add 1/32 to every size (factor 1.03125).
constexpr uint32_t kSpareNumerator = 33;
constexpr uint32_t kSpareDenominator = 32;

// One platform being read: where from, into what, and the section.
struct Reader {
    const PlatformSource* source;
    const char* section;
};

uint32_t ReadValue(const Reader& reader, const char* key, const char* defaultValue, char* out, uint32_t size) {
    return os::IniGetString(reader.source->platformDefPath, reader.section, key, defaultValue, out, size);
}

uint32_t ReadNumber(const Reader& reader, const char* key, const char* defaultValue) {
    char value[kValueSize];
    ReadValue(reader, key, defaultValue, value, sizeof value);
    return ParseNumber(value);
}

// A value read with "%u": a text without a decimal number reads as 0.
uint32_t ReadDecimal(const Reader& reader, const char* key, const char* defaultValue) {
    char value[kValueSize];
    ReadValue(reader, key, defaultValue, value, sizeof value);
    unsigned int number = 0;
    if (std::sscanf(value, "%u", &number) != 1) number = 0;
    return number;
}

bool EqualsIgnoringCase(const char* a, const char* b) {
    for (; *a != '\0' && *b != '\0'; ++a, ++b) {
        if (std::tolower(static_cast<unsigned char>(*a)) != std::tolower(static_cast<unsigned char>(*b))) return false;
    }
    return *a == *b;
}

// Digits of `base` from `text` on, after blanks and an optional sign, the
// way "%lu" and "%lx" read them; the value saturates at 32 bits instead of
// wrapping into a different number. No digits read as 0.
uint32_t ReadDigits(const char* text, int base) {
    while (std::isspace(static_cast<unsigned char>(*text))) ++text;
    const bool negative = *text == '-';
    if (*text == '+' || *text == '-') ++text;
    if (base == 16 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X') &&
        std::isxdigit(static_cast<unsigned char>(text[2]))) {
        text += 2;
    }
    uint64_t value = 0;
    for (; *text != '\0'; ++text) {
        const int c = std::tolower(static_cast<unsigned char>(*text));
        int digit = -1;
        if (c >= '0' && c <= '9') digit = c - '0';
        else if (base == 16 && c >= 'a' && c <= 'f') digit = c - 'a' + 10;
        if (digit < 0) break;
        value = value * base + digit;
        if (value > 0xFFFFFFFFull) return 0xFFFFFFFFu;
    }
    const uint32_t result = static_cast<uint32_t>(value);
    return negative ? 0u - result : result;
}

// Writes module directory + `name` into `out` (kPathSize bytes) with this
// system's separators; false when it does not fit.
bool BuildLoaderPath(const PlatformSource& source, const char* name, char* out) {
    char relative[kLoaderNameSize];
    std::snprintf(relative, sizeof relative, "%s", name);
    os::NormalizePathSeparators(relative);
    const int length = std::snprintf(out, kPathSize, "%s%s", source.moduleDir, relative);
    if (length < 0 || static_cast<uint32_t>(length) >= kPathSize) {
        out[0] = '\0';
        return false;
    }
    return true;
}

}  // namespace

uint32_t ParseNumber(const char* text) {
    for (const char* p = text; p[0] != '\0'; ++p) {
        if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) return ReadDigits(p + 2, 16);
    }
    return ReadDigits(text, 10);
}

void ResetFlashDefinitions(PlatformRecord& platform) {
    platform.flashDefinitionCount = 0;
    std::memset(platform.flashDefinitions, 0, sizeof platform.flashDefinitions);
}

namespace {

// The fields of one FlashN value, before checking.
struct FlashValue {
    uint32_t base;
    uint32_t sizeMiB;
    uint32_t third;     // chip select (type 0) or CFS size in MiB (type 1)
    bool hasFirstComma;
    bool hasThird;
};

FlashValue SplitFlashValue(const char* text) {
    FlashValue value = {0, 0, 0, false, false};
    char buffer[kValueSize];
    std::snprintf(buffer, sizeof buffer, "%s", text);
    char* firstComma = std::strchr(buffer, ',');
    if (firstComma == nullptr) return value;
    *firstComma = '\0';
    value.hasFirstComma = true;
    value.base = ParseNumber(buffer);
    char* secondComma = std::strchr(firstComma + 1, ',');
    if (secondComma != nullptr) *secondComma = '\0';
    value.sizeMiB = ParseNumber(firstComma + 1);
    if (secondComma != nullptr) {
        value.hasThird = true;
        value.third = ParseNumber(secondComma + 1);
    }
    return value;
}

// A definition must describe at least one byte and must not run past the
// end of the 32-bit address space: its memory area would wrap otherwise.
bool FitsAddressSpace(uint32_t base, uint32_t sizeMiB) {
    return sizeMiB != 0 && base + static_cast<uint64_t>(sizeMiB) * kMiB <= kAddressSpace;
}

uint32_t Spare(uint64_t value) { return static_cast<uint32_t>(value * kSpareNumerator / kSpareDenominator); }

// Memory interface type 1: base, size[, CFS] in MiB.
bool ParseNandDefinition(const PlatformSource& source, const char* text, FlashDefinition* out) {
    const FlashValue value = SplitFlashValue(text);
    if (!value.hasFirstComma) return false;
    const bool spare = source.options->sparenand != 0;
    const uint32_t sizeMiB = spare ? Spare(value.sizeMiB) : value.sizeMiB;
    uint64_t cfsBytes = static_cast<uint64_t>(value.third) * kMiB;
    if (spare) cfsBytes = cfsBytes * kSpareNumerator / kSpareDenominator;
    if (sizeMiB > kMaxFlashSizeMiB || value.base % kNandWindowAlign != 0) return false;
    if (!FitsAddressSpace(value.base, sizeMiB) || cfsBytes > kCfsOffsetMask) return false;
    *out = {value.base, sizeMiB * kMiB, 0, value.hasThird ? kCfsDefined | static_cast<uint32_t>(cfsBytes) : 0};
    return true;
}

// Memory interface type 0 with chip descriptions: base, size, chip select.
bool ParseNorDefinition(const char* text, FlashDefinition* out) {
    const FlashValue value = SplitFlashValue(text);
    const uint32_t base = value.hasFirstComma ? value.base : kNoBase;
    const uint32_t chipSelect = value.hasThird ? value.third : kNoChipSelect;
    if (base % kNorWindowAlign != 0 || value.sizeMiB > kMaxFlashSizeMiB || chipSelect > kMaxChipSelect) return false;
    if (!FitsAddressSpace(base, value.sizeMiB)) return false;
    *out = {base, value.sizeMiB * kMiB, chipSelect, 0};
    return true;
}

void SetUserImageAreasFromDefinitions(const PlatformSource& source) {
    const PlatformRecord& platform = *source.platform;
    ImageBuffer& image = *source.userImage;
    image.areaCount = platform.flashDefinitionCount;
    for (uint32_t i = 0; i < platform.flashDefinitionCount; ++i) {
        image.areas[i].first = platform.flashDefinitions[i].base;
        image.areas[i].last = platform.flashDefinitions[i].base + (platform.flashDefinitions[i].size - 1);
    }
}

uint32_t LastOf(const FlashDefinition& definition) { return definition.base + (definition.size - 1); }

// Two definitions sharing addresses would give the user image overlapping
// memory areas, and the first would silently shadow the other.
bool DefinitionsAreDisjoint(const PlatformSource& source) {
    const PlatformRecord& platform = *source.platform;
    for (uint32_t j = 1; j < platform.flashDefinitionCount; ++j) {
        const FlashDefinition& later = platform.flashDefinitions[j];
        for (uint32_t i = 0; i < j; ++i) {
            const FlashDefinition& earlier = platform.flashDefinitions[i];
            if (RangesOverlap(earlier.base, LastOf(earlier), later.base, LastOf(later)) == 0) continue;
            PostHostMessage(source.reporter, FLASH_LEVEL_ERROR,
                            "Platform: flash definitions [%u] and [%u] overlap (0x%08lx - 0x%08lx, 0x%08lx - 0x%08lx)",
                            i, j, static_cast<unsigned long>(earlier.base), static_cast<unsigned long>(LastOf(earlier)),
                            static_cast<unsigned long>(later.base), static_cast<unsigned long>(LastOf(later)));
            return false;
        }
    }
    return true;
}

// Flash0, Flash1, ... up to the first empty value. The table holds four
// definitions: a fifth one refuses the platform rather than being dropped,
// since an image for the missing chip could never be placed.
bool ReadFlashDefinitions(const Reader& reader) {
    const PlatformSource& source = *reader.source;
    PlatformRecord& platform = *source.platform;
    const bool nand = platform.memoryInterfaceType == 1;
    for (uint32_t index = 0; index < kMaxFlashKeys; ++index) {
        char key[16];
        char value[kValueSize];
        std::snprintf(key, sizeof key, "%s%u", "Flash", index);
        if (ReadValue(reader, key, "", value, sizeof value) == 0) break;
        FlashDefinition definition;
        const bool valid = index < kMaxFlashDefinitions &&
                           (nand ? ParseNandDefinition(source, value, &definition) : ParseNorDefinition(value, &definition));
        if (!valid) {
            LogLine(source.reporter, "Platform: invalid flash definition [%u]", index);
            return false;
        }
        platform.flashDefinitions[index] = definition;
        platform.flashDefinitionCount = index + 1;
    }
    if (platform.flashDefinitionCount == 0) {
        LogLine(source.reporter, "Platform: no flash defined");
        return false;
    }
    if (!DefinitionsAreDisjoint(source)) {
        return false;
    }
    SetUserImageAreasFromDefinitions(source);
    return true;
}

// Memory interface type 0 without chip descriptions: one area from 0.
bool ReadMaxImageSize(const Reader& reader) {
    const uint32_t sizeMiB = ReadNumber(reader, "MaxImageSize", "16");
    if (sizeMiB < kMinImageSizeMiB || sizeMiB > kMaxImageSizeMiB) {
        LogLine(reader.source->reporter, "Platform: invalid max. image size: %lu", static_cast<unsigned long>(sizeMiB));
        return false;
    }
    ImageBuffer& image = *reader.source->userImage;
    image.areaCount = 1;
    image.areas[0].first = 0;
    image.areas[0].last = sizeMiB * kMiB - 1;
    return true;
}

bool ReadBootLoaderType(const Reader& reader) {
    PlatformRecord& platform = *reader.source->platform;
    if (platform.memoryInterfaceType == 1) {
        platform.bootLoaderType = kBootLoaderPassive;
        platform.setupLoaderUsed = 1;
        return true;
    }
    char value[kValueSize];
    ReadValue(reader, "BootLoader", "", value, sizeof value);
    if (EqualsIgnoringCase(value, "active")) {
        platform.bootLoaderType = kBootLoaderActive;
    } else if (EqualsIgnoringCase(value, "passive")) {
        platform.bootLoaderType = kBootLoaderPassive;
    } else {
        LogLine(reader.source->reporter, "Platform: invalid boot loader type: %s", value);
        return false;
    }
    return true;
}

bool ReadSetupLoader(const Reader& reader) {
    const PlatformSource& source = *reader.source;
    PlatformRecord& platform = *source.platform;
    platform.setupLoaderIgnored = ReadNumber(reader, "SetupLoaderIgnore", "0") != 0 ? 1 : 0;
    if (platform.setupLoaderIgnored != 0) {
        platform.setupLoaderUsed = 0;
        platform.setupLoaderPath[0] = '\0';
        return true;
    }
    char name[kLoaderNameSize];
    ReadValue(reader, "SetupLoader", "", name, sizeof name);
    if (name[0] != '\0') {
        if (!BuildLoaderPath(source, name, platform.setupLoaderPath)) {
            LogLine(source.reporter, "Platform: loader file name too long: %s", name);
            return false;
        }
    } else if (platform.memoryInterfaceType == 1) {
        LogLine(source.reporter, "Platform: missing setup loader");
        return false;
    } else {
        platform.setupLoaderPath[0] = '\0';
    }
    platform.setupLoaderBase = ReadNumber(reader, "SetupLoaderBaseAddr", "0");
    if (platform.setupLoaderBase % 4 != 0) {
        LogLine(source.reporter, "Platform: invalid SL base address 0x%08lx", static_cast<unsigned long>(platform.setupLoaderBase));
        return false;
    }
    return true;
}

bool ReadFlashLayout(const Reader& reader) {
    PlatformRecord& platform = *reader.source->platform;
    if (platform.memoryInterfaceType == 1) {
        platform.chipDescriptions = 1;
    } else {
        platform.chipDescriptions = ReadDecimal(reader, "ChipDesc", "0") != 0 ? 1 : 0;
    }
    return platform.chipDescriptions != 0 ? ReadFlashDefinitions(reader) : ReadMaxImageSize(reader);
}

bool ReadFlashLoader(const Reader& reader, const char* name) {
    const PlatformSource& source = *reader.source;
    PlatformRecord& platform = *source.platform;
    if (!BuildLoaderPath(source, name, platform.flashLoaderPath)) {
        LogLine(source.reporter, "Platform: loader file name too long: %s", name);
        return false;
    }
    const char* defaultBase = platform.memoryInterfaceType == 1 ? "0x9999" : "0";
    platform.flashLoaderBase = ReadNumber(reader, "FlashLoaderBaseAddr", defaultBase);
    if (platform.flashLoaderBase % 4 != 0) {
        LogLine(source.reporter, "Platform: invalid FL base address 0x%08lx", static_cast<unsigned long>(platform.flashLoaderBase));
        return false;
    }
    platform.stackBase = ReadNumber(reader, "StackBaseAddr", "0");
    return true;
}

void LogSummary(const PlatformSource& source) {
    const PlatformRecord& platform = *source.platform;
    LogLine(source.reporter, "Boot loader protocol type: %s", platform.bootLoaderType == kBootLoaderActive ? "active" : "passive");
    LogLine(source.reporter, "Memory interface type: %u", platform.memoryInterfaceType);
    if (platform.setupLoaderPath[0] != '\0') {
        LogLine(source.reporter, "Setup loader: %s", platform.setupLoaderPath);
        LogLine(source.reporter, "Setup loader base addr: 0x%08lx", static_cast<unsigned long>(platform.setupLoaderBase));
    } else {
        LogLine(source.reporter, "Setup loader: -");
    }
    LogLine(source.reporter, "Flash loader: %s", platform.flashLoaderPath);
    LogLine(source.reporter, "Flash loader base addr: 0x%08lx", static_cast<unsigned long>(platform.flashLoaderBase));
    LogLine(source.reporter, "Stack base addr: 0x%08lx", static_cast<unsigned long>(platform.stackBase));
    const ImageBuffer& image = *source.userImage;
    LogLine(source.reporter, "Stack buffers: %u", image.areaCount);
    for (uint32_t i = 0; i < image.areaCount; ++i) {
        char sizeText[kSizeTextSize];
        SizeText(image.areas[i].last - image.areas[i].first + 1, sizeText, sizeof sizeText);
        LogLine(source.reporter, "%u: 0x%08lx - 0x%08lx [%s]", i, static_cast<unsigned long>(image.areas[i].first),
                static_cast<unsigned long>(image.areas[i].last), sizeText);
    }
}

// The platform name as a C string; false when the options' field holds no
// NUL (it is then shown cut, and refused).
bool PlatformName(const PlatformSource& source, char* out, size_t size) {
    const bool terminated = std::memchr(source.options->platform, '\0', sizeof source.options->platform) != nullptr;
    std::snprintf(out, size, "%.*s", static_cast<int>(sizeof source.options->platform), source.options->platform);
    return terminated && out[0] != '\0';
}

}  // namespace

int ReadPlatform(const PlatformSource& source) {
    PlatformRecord& platform = *source.platform;
    platform.setupLoaderIgnored = 0;
    platform.setupLoaderUsed = 0;
    platform.flashLoaderBase = 0;
    ResetFlashDefinitions(*source.platform);

    char section[sizeof source.options->platform + 1];
    const bool named = PlatformName(source, section, sizeof section);
    const Reader reader{&source, section};
    char flashLoader[kLoaderNameSize] = "";
    if (named) ReadValue(reader, "FlashLoader", "", flashLoader, sizeof flashLoader);
    if (flashLoader[0] == '\0') {
        LogLine(source.reporter, "Platform: unknown or corrupted platform: \"%s\"", section);
        return 0;
    }
    platform.memoryInterfaceType = ReadDecimal(reader, "MIT", "0");
    if (platform.memoryInterfaceType > 1) {
        LogLine(source.reporter, "Platform: invalid MIT: %u", platform.memoryInterfaceType);
        return 0;
    }
    if (!ReadBootLoaderType(reader) || !ReadSetupLoader(reader) || !ReadFlashLayout(reader) ||
        !ReadFlashLoader(reader, flashLoader)) {
        return 0;
    }
    LogSummary(source);
    return 1;
}
