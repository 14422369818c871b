#include "flashdll/os/exe_path.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace os {

const char kPathSeparator = '/';

bool ExecutablePath(char* buffer, size_t size) {
    if (size == 0) {
        return false;
    }
    const ssize_t length = readlink("/proc/self/exe", buffer, size);
    if (length <= 0 || static_cast<size_t>(length) >= size) {
        buffer[0] = '\0';
        return false;
    }
    buffer[length] = '\0';
    return true;
}

void ModuleDirectory(char* buffer, size_t size) {
    if (size == 0) {
        return;
    }
    buffer[0] = '\0';
    const char* home = std::getenv("FLASHDLL_HOME");
    if (home != nullptr && home[0] != '\0') {
        const size_t length = std::strlen(home);
        const bool needsSeparator = home[length - 1] != kPathSeparator;
        if (length + (needsSeparator ? 1 : 0) >= size) {
            return;  // does not fit: no module directory
        }
        std::memcpy(buffer, home, length);
        buffer[length] = kPathSeparator;
        buffer[length + (needsSeparator ? 1 : 0)] = '\0';
        return;
    }
    if (!ExecutablePath(buffer, size)) {
        return;
    }
    char* last = std::strrchr(buffer, kPathSeparator);
    if (last == nullptr) {
        buffer[0] = '\0';
    } else {
        last[1] = '\0';
    }
}

void NormalizePathSeparators(char* path) {
    for (; *path != '\0'; ++path) {
        if (*path == '\\') {
            *path = kPathSeparator;
        }
    }
}

}  // namespace os
