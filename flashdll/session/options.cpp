#include "flashdll/session/options.h"

#include <cstddef>
#include <cstring>

// The record is shared with hosts built by other compilers: its layout must
// not depend on the target.
static_assert(sizeof(FlashLoadOptions) == 70296, "load options record is 70,296 bytes");
static_assert(offsetof(FlashLoadOptions, com) == 69416, "no padding before the port list");
static_assert(offsetof(FlashLoadOptions, debug) == 70260, "no padding before the flags");
static_assert(sizeof(void*) != 4 || sizeof(FlashHostDescriptor) == 32,
              "host descriptor is eight 32-bit words on 32-bit targets");

namespace {

constexpr uint32_t kMaxSpeedIndex = FLASH_SPEED_COUNT - 1;

bool ModeIsValid(uint32_t mode) {
    return mode == FLASH_MODE_FLASH || mode == FLASH_MODE_VERIFY || mode == FLASH_MODE_READ ||
           mode == FLASH_MODE_FLASH_CONTENTS || mode == FLASH_MODE_CONTENTS;
}

bool RangesAreValid(const FlashRange* ranges, uint32_t count) {
    if (count > FLASH_MAX_RANGES) {
        return false;
    }
    for (uint32_t i = 0; i < count; ++i) {
        if (ranges[i].first > ranges[i].last) {
            return false;
        }
    }
    return true;
}

bool HasText(const char (&field)[FLASH_TEXT_FIELD]) { return FieldHasNul(field, sizeof field); }

// The fields each mode works with.
bool ModeFieldsAreValid(const FlashLoadOptions& options) {
    switch (options.mode) {
    case FLASH_MODE_FLASH:
    case FLASH_MODE_FLASH_CONTENTS:
    case FLASH_MODE_CONTENTS:
        return RangesAreValid(options.reserved, options.reservedcount) &&
               options.erase <= kMaxErasePasses && HasText(options.file);
    case FLASH_MODE_VERIFY:
        return HasText(options.file);
    case FLASH_MODE_READ:
        return RangesAreValid(options.read, options.readcount) && HasText(options.savefile);
    default:
        return false;
    }
}

bool PortsAreValid(const FlashLoadOptions& options) {
    if (options.com[0] >= FLASH_NO_PORT) {
        return false;  // logical port 0 must have a COM port
    }
    for (uint32_t port = 0; port < 2; ++port) {
        if (options.com[port] == FLASH_NO_PORT) {
            continue;  // the speed of an absent port does not matter
        }
        if (options.com[port] >= FLASH_NO_PORT || options.maxspeed[port] > kMaxSpeedIndex) {
            return false;
        }
    }
    return true;
}

}  // namespace

bool FieldHasNul(const char* field, size_t size) {
    return std::memchr(field, '\0', size) != nullptr;
}

void SetLoadOptionDefaults(FlashLoadOptions* options) {
    std::memset(options->platform, 0, sizeof options->platform);
    std::memset(options->contentsfile, 0, sizeof options->contentsfile);
    std::memset(options->file, 0, sizeof options->file);
    std::memset(options->savefile, 0, sizeof options->savefile);
    options->com[0] = options->com[1] = FLASH_NO_PORT;
    options->maxspeed[0] = options->maxspeed[1] = kDefaultMaxSpeedIndex;
    options->mode = FLASH_MODE_FLASH;
    options->erase = 1;
    options->phases = FLASH_PHASES_ALL;
    options->pollingvariant = 0;
    options->reservedcount = 0;
    options->readcount = 0;
    options->debug = 0;
    options->eraseunused = 0;
    options->sparenand = 0;
    options->fsformat = 0;
    options->extprotect = 0;
    options->noretry = 0;
    options->unattended = 0;
    options->diff = 1;
    options->asyncerase = 0;
}

uint32_t CheckLoadOptions(const FlashLoadOptions* options) {
    if (options == nullptr || !ModeIsValid(options->mode) || !ModeFieldsAreValid(*options) ||
        options->phases > FLASH_PHASES_FL || !PortsAreValid(*options)) {
        return ERR_BAD_PARAMS;
    }
    // The preparation merges and sorts both lists whatever the mode: a count
    // beyond the list would reach the fields behind it.
    if (options->reservedcount > FLASH_MAX_RANGES || options->readcount > FLASH_MAX_RANGES) {
        return ERR_BAD_PARAMS;
    }
    // The platform name and the contents file path are read as C strings by
    // later stages; a field without its NUL would be read past its end.
    if (!HasText(options->platform) || !HasText(options->contentsfile)) {
        return ERR_BAD_PARAMS;
    }
    return SUCCESS;
}
