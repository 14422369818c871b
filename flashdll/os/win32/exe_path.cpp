#include "flashdll/os/exe_path.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cstdlib>
#include <cstring>

namespace os {

const char kPathSeparator = '\\';

bool ExecutablePath(char* buffer, size_t size) {
    if (size == 0) {
        return false;
    }
    const DWORD length = GetModuleFileNameA(nullptr, buffer, static_cast<DWORD>(size));
    if (length == 0 || length >= size) {
        buffer[0] = '\0';
        return false;
    }
    return true;
}

// Either separator ends the directory part of a path here.
static char* LastSeparator(char* path) {
    char* backslash = std::strrchr(path, '\\');
    char* slash = std::strrchr(path, '/');
    return backslash > slash ? backslash : slash;
}

void ModuleDirectory(char* buffer, size_t size) {
    if (size == 0) {
        return;
    }
    buffer[0] = '\0';
    const char* home = std::getenv("FLASHDLL_HOME");
    if (home != nullptr && home[0] != '\0') {
        const size_t length = std::strlen(home);
        const bool needsSeparator = home[length - 1] != '\\' && home[length - 1] != '/';
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
    char* last = LastSeparator(buffer);
    if (last == nullptr) {
        buffer[0] = '\0';
    } else {
        last[1] = '\0';
    }
}

// Backslashes are this system's own separator, and forward slashes work too.
void NormalizePathSeparators(char*) {}

}  // namespace os
