#include "flashdll/os/exe_path.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

namespace os {

const char kPathSeparator = '\\';

// Forward slashes work as separators here too.
bool IsPathSeparator(char c) { return c == '\\' || c == '/'; }

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

// Backslashes are this system's own separator, and forward slashes work too.
void NormalizePathSeparators(char*) {}

}  // namespace os
