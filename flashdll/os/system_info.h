// The operating system's name and version, for the log.
#pragma once

#include <cstdint>

namespace os {

struct SystemVersion {
    bool ntFamily;      // a system with the full thread and overlapped I/O model
    uint32_t major;
    uint32_t minor;
    char name[64];      // for the log: "Linux 6.1.0", "NT family, Ver:6.1"
};

// False when the version cannot be read at all.
bool GetSystemVersion(SystemVersion* version);

}  // namespace os
