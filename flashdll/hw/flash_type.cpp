// Looking up one flash chip in the catalogue flash.types: description,
// family, programming method and the sector layout.
#include "flashdll/hw/flash_type.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

#include "flashdll/os/exe_path.h"
#include "flashdll/os/ini.h"

namespace {

constexpr uint32_t kValueSize = 256;  // every catalogue value is read into this many bytes
constexpr uint32_t kDirectorySize = 256;
constexpr char kCatalogueName[] = "flash.types";
constexpr uint32_t kKiB = 1024;
constexpr size_t kPageBufferWordLength = 10;  // "pagebuffer"
constexpr uint32_t kMaxWriteBufferSize = 0xFFFF;

struct FamilyName {
    const char* name;
    uint32_t code;
};

constexpr FamilyName kFamilies[] = {
    {"amd", kFamilyAmd},
    {"spansion", kFamilyAmd},
    {"intel", kFamilyIntel},
    {"intel_sibley", kFamilyIntelSibley},
    {"nand", kFamilyNand},
};

bool EqualsIgnoringCase(const char* a, const char* b) {
    for (; *a != '\0' && *b != '\0'; ++a, ++b) {
        if (std::tolower(static_cast<unsigned char>(*a)) != std::tolower(static_cast<unsigned char>(*b))) return false;
    }
    return *a == *b;
}

bool StartsWithIgnoringCase(const char* text, const char* word, size_t length) {
    for (size_t i = 0; i < length; ++i) {
        if (text[i] == '\0' || std::tolower(static_cast<unsigned char>(text[i])) != word[i]) return false;
    }
    return true;
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Reads the decimal digits at *text (advancing it); false when there are
// none or the number exceeds `limit`.
bool ReadDecimal(const char** text, uint32_t limit, uint32_t* value) {
    const char* p = *text;
    uint64_t number = 0;
    for (; IsDigit(*p); ++p) {
        number = number * 10 + static_cast<uint32_t>(*p - '0');
        if (number > limit) return false;
    }
    if (p == *text) return false;
    *text = p;
    *value = static_cast<uint32_t>(number);
    return true;
}

bool FamilyCode(const char* name, uint32_t* code) {
    for (const FamilyName& family : kFamilies) {
        if (EqualsIgnoringCase(name, family.name)) {
            *code = family.code;
            return true;
        }
    }
    return false;
}

// The method word after the second comma. A pagebuffer method may carry
// its page buffer size after a colon; that size must be a number from 1 on.
bool MethodCode(const char* text, uint32_t* method, uint16_t* writeBufferSize) {
    *writeBufferSize = 0;
    if (EqualsIgnoringCase(text, "standard")) {
        *method = kMethodStandard;
        return true;
    }
    if (EqualsIgnoringCase(text, "unlockbypass")) {
        *method = kMethodUnlockBypass;
        return true;
    }
    if (!StartsWithIgnoringCase(text, "pagebuffer", kPageBufferWordLength)) return false;
    *method = kMethodPageBuffer;
    const char* colon = std::strchr(text + kPageBufferWordLength, ':');
    if (colon == nullptr) return true;
    const char* digits = colon + 1;
    while (*digits == ' ' || *digits == '\t') ++digits;  // read like "%u"
    uint32_t size = 0;
    if (!ReadDecimal(&digits, kMaxWriteBufferSize, &size) || size == 0) return false;
    *writeBufferSize = static_cast<uint16_t>(size);
    return true;
}

// One group of a layout: "SIZE" or "SIZE*COUNT" with SIZE in KiB. `end` is
// the separating comma or the end of the text.
bool ParseGroup(const char* group, const char* end, uint32_t* sizeBytes, uint32_t* count) {
    const char* p = group;
    uint32_t sizeKiB = 0;
    if (!ReadDecimal(&p, 0xFFFFFFFFu / kKiB, &sizeKiB) || sizeKiB == 0) return false;
    *count = 1;
    if (p != end && *p == '*') {
        ++p;
        if (!ReadDecimal(&p, kMaxBoundaries, count)) return false;
    }
    *sizeBytes = sizeKiB * kKiB;
    return p == end;
}

// "8*8,64*63": groups of sectors from the lowest address up. Appends one
// layout group per group and one boundary per sector; more groups or
// sectors than the tables hold, a chip past 4 GiB or one without any sector
// make the layout bad.
bool ParseLayout(const char* layout, uint32_t* boundaries, uint32_t* boundaryCount, LayoutGroup* groups) {
    *boundaryCount = 1;
    boundaries[0] = 0;
    uint32_t groupCount = 0;
    uint64_t total = 0;
    const char* group = layout;
    for (;;) {
        const char* comma = std::strchr(group, ',');
        const char* end = comma != nullptr ? comma : group + std::strlen(group);
        uint32_t sizeBytes = 0;
        uint32_t count = 0;
        if (groupCount == kMaxLayoutGroups || !ParseGroup(group, end, &sizeBytes, &count)) return false;
        if (*boundaryCount + count > kMaxBoundaries) return false;
        groups[groupCount++] = LayoutGroup{static_cast<uint16_t>(count), sizeBytes};
        for (uint32_t i = 0; i < count; ++i) {
            total += sizeBytes;
            if (total > 0xFFFFFFFFull) return false;
            boundaries[(*boundaryCount)++] = static_cast<uint32_t>(total);
        }
        if (comma == nullptr) return *boundaryCount > 1;  // a chip has at least one sector
        group = comma + 1;
    }
}

}  // namespace

FlashType::FlashType(uint16_t manufacturerId, uint32_t deviceId)
    : manufacturerId_(manufacturerId), deviceId_(deviceId) {
    description_[0] = '\0';
    boundaryCount_ = 0;
    known_ = Lookup() ? 1 : 0;
}

namespace {

// module directory + "flash.types"; false when that does not fit `size`.
bool CataloguePath(char* out, size_t size) {
    char directory[kDirectorySize];
    os::ModuleDirectory(directory, sizeof directory);
    const int length = std::snprintf(out, size, "%s%s", directory, kCatalogueName);
    return length > 0 && static_cast<size_t>(length) < size;
}

}  // namespace

bool FlashType::Lookup() {
    if (!CataloguePath(cataloguePath_, sizeof cataloguePath_)) return false;
    char key[32];
    std::snprintf(key, sizeof key, "0x%04x_0x%08lx", static_cast<unsigned>(manufacturerId_),
                  static_cast<unsigned long>(deviceId_));
    char value[kValueSize];
    os::IniGetString(cataloguePath_, "Description", key, "", value, sizeof value);
    const size_t length = std::min(std::strlen(value), sizeof description_ - 1);  // cut to fit
    std::memcpy(description_, value, length);
    description_[length] = '\0';
    if (description_[0] == '\0') return false;

    char chipInfo[kValueSize];
    if (os::IniGetString(cataloguePath_, "ChipInfo", key, "", chipInfo, sizeof chipInfo) == 0) return false;
    char* firstComma = std::strchr(chipInfo, ',');
    if (firstComma == nullptr) return false;
    *firstComma = '\0';
    if (!FamilyCode(chipInfo, &family_)) return false;
    char* layoutName = firstComma + 1;
    char* secondComma = std::strchr(layoutName, ',');
    if (secondComma == nullptr) return false;
    *secondComma = '\0';
    if (os::IniGetString(cataloguePath_, "Layouts", layoutName, "", value, sizeof value) == 0) return false;
    if (!ParseLayout(value, boundaries_, &boundaryCount_, layoutGroups_)) return false;
    return MethodCode(secondComma + 1, &method_, &writeBufferSize_);
}

