#include "flashdll/os/exe_path.h"

#include <unistd.h>

namespace os {

const char kPathSeparator = '/';

bool IsPathSeparator(char c) { return c == '/'; }

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

void NormalizePathSeparators(char* path) {
    for (; *path != '\0'; ++path) {
        if (*path == '\\') {
            *path = kPathSeparator;
        }
    }
}

}  // namespace os
