// The Windows version. The extended version record is asked for first and
// the basic one when the system refuses it. The name carries the family and
// version in the form the log has always shown.
#include "flashdll/os/system_info.h"

#include <windows.h>

#include <cstdio>

namespace os {

namespace {

bool ReadVersion(OSVERSIONINFOA* info) {
    OSVERSIONINFOEXA extended = {};
    extended.dwOSVersionInfoSize = sizeof extended;
    if (GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(&extended))) {
        info->dwMajorVersion = extended.dwMajorVersion;
        info->dwMinorVersion = extended.dwMinorVersion;
        info->dwPlatformId = extended.dwPlatformId;
        return true;
    }
    OSVERSIONINFOA basic = {};
    basic.dwOSVersionInfoSize = sizeof basic;
    if (!GetVersionExA(&basic)) {
        return false;
    }
    info->dwMajorVersion = basic.dwMajorVersion;
    info->dwMinorVersion = basic.dwMinorVersion;
    info->dwPlatformId = basic.dwPlatformId;
    return true;
}

}  // namespace

bool GetSystemVersion(SystemVersion* version) {
    OSVERSIONINFOA info = {};
    if (!ReadVersion(&info)) {
        return false;
    }
    version->ntFamily = info.dwPlatformId == VER_PLATFORM_WIN32_NT;
    version->major = static_cast<uint32_t>(info.dwMajorVersion);
    version->minor = static_cast<uint32_t>(info.dwMinorVersion);
    std::snprintf(version->name, sizeof version->name, "%s, Ver:%lu.%lu",
                  version->ntFamily ? "NT family" : "non-NT family",
                  static_cast<unsigned long>(info.dwMajorVersion),
                  static_cast<unsigned long>(info.dwMinorVersion));
    return true;
}

}  // namespace os
