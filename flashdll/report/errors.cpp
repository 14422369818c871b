#include "flashdll/report/errors.h"

#include <cstdio>
#include <cstring>

#include "flashdll/flashdll.h"
#include "flashdll/report/notify.h"

namespace {

struct ErrorNameEntry {
    uint32_t code;
    const char* name;
};

constexpr ErrorNameEntry kErrorNames[] = {
    {SUCCESS, "SUCCESS"},
    {ERR_NOMEM, "ERR_NOMEM"},
    {ERR_COM, "ERR_COM"},
    {ERR_ABORT, "ERR_ABORT"},
    {ERR_FLASHTYPE, "ERR_FLASHTYPE"},
    {ERR_PROTOCOL, "ERR_PROTOCOL"},
    {ERR_TIMEOUT, "ERR_TIMEOUT"},
    {ERR_WRONG_DLL, "ERR_WRONG_DLL"},
    {ERR_WRONG_FILE_LOAD, "ERR_WRONG_FILE_LOAD"},
    {ERR_WRONG_FILE_SAVE, "ERR_WRONG_FILE_SAVE"},
    {ERR_WRONG_FILE_SL, "ERR_WRONG_FILE_SL"},
    {ERR_WRONG_FILE_FL, "ERR_WRONG_FILE_FL"},
    {ERR_WRONG_READLENGTH, "ERR_WRONG_READLENGTH"},
    {ERR_CRC, "ERR_CRC"},
    {ERR_UNSUPPORTED, "ERR_UNSUPPORTED"},
    {ERR_TOO_MANY_RETRIES, "ERR_TOO_MANY_RETRIES"},
    {ERR_FILEIO, "ERR_FILEIO"},
    {ERR_BAD_SREC_FILE, "ERR_BAD_SREC_FILE"},
    {ERR_BAD_SREC_ADDR, "ERR_BAD_SREC_ADDR"},
    {ERR_LEGACY_LOADER, "ERR_LEGACY_LOADER"},
    {ERR_CMD_FAILED, "ERR_CMD_FAILED"},
    {ERR_RANGE_OUTSIDE_FLASH, "ERR_RANGE_OUTSIDE_FLASH"},
    {ERR_RANGES_OVERLAP, "ERR_RANGES_OVERLAP"},
    {ERR_BAD_SREC_CHECKSUM, "ERR_BAD_SREC_CHECKSUM"},
    {ERR_VERIFY_DIFFERENCE, "ERR_VERIFY_DIFFERENCE"},
    {ERR_TOO_MANY_RANGES, "ERR_TOO_MANY_RANGES"},
    {ERR_UNKOWN_HW, "ERR_UNKOWN_HW"},
    {ERR_WRONG_FLASHLOADER, "ERR_WRONG_FLASHLOADER"},
    {ERR_BAD_CMDLINE, "ERR_BAD_CMDLINE"},
    {ERR_SETUP, "ERR_SETUP"},
    {ERR_BAD_PLATFORM, "ERR_BAD_PLATFORM"},
    {ERR_BAD_PARAMS, "ERR_BAD_PARAMS"},
    {ERR_BAD_CONTENTS, "ERR_BAD_CONTENTS"},
    {ERR_NOT_FOUND_FILE, "ERR_NOT_FOUND_FILE"},
    {ERR_CONTENTS_READFAIL, "ERR_CONTENTS_READFAIL"},
    {ERR_FILEOPEN_FAIL, "ERR_FILEOPEN_FAIL"},
    {ERR_FILEWRITE_FAIL, "ERR_FILEWRITE_FAIL"},
    {ERR_FILECLOSE_FAIL, "ERR_FILECLOSE_FAIL"},
    {ERR_CHECKFILESIZE_FAIL, "ERR_CHECKFILESIZE_FAIL"},
    {ERR_BAD_RESERVED_RANGE, "ERR_BAD_RESERVED_RANGE"},
    {ERR_UNKNOWN, "ERR_UNKNOWN"},
};

}  // namespace

const char* ErrorName(uint32_t code, char* buffer) {
    for (const ErrorNameEntry& entry : kErrorNames) {
        if (entry.code == code) {
            std::memcpy(buffer, entry.name, std::strlen(entry.name) + 1);
            return buffer;
        }
    }
    std::snprintf(buffer, kErrorNameSize, "Unknown error: %u", code);
    return buffer;
}

void LogErrorCode(const Reporter& reporter, uint32_t code) {
    char name[kErrorNameSize];
    PostHostMessage(reporter, FLASH_LEVEL_INFO, "Error code: %s", ErrorName(code, name));
}
