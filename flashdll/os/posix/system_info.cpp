// The system's name and version from uname(). Every POSIX system offers
// threads and non-blocking serial I/O, so it counts as the full-featured
// family.
#include "flashdll/os/system_info.h"

#include <sys/utsname.h>

#include <cstdio>

namespace os {

bool GetSystemVersion(SystemVersion* version) {
    utsname info;
    if (uname(&info) != 0) {
        return false;
    }
    unsigned major = 0;
    unsigned minor = 0;
    if (std::sscanf(info.release, "%u.%u", &major, &minor) < 1) {
        return false;
    }
    version->ntFamily = true;
    version->major = major;
    version->minor = minor;
    std::snprintf(version->name, sizeof version->name, "%.20s %.40s", info.sysname, info.release);
    return true;
}

}  // namespace os
