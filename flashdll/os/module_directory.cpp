// The module directory, where platform.def, flash.types and the loader files
// are looked for. Portable: the system-specific parts are ExecutablePath and
// what counts as a separator.
#include <cstdlib>
#include <cstring>

#include "flashdll/os/exe_path.h"

namespace os {

namespace {

// FLASHDLL_HOME with a trailing separator; empty when it does not fit.
void HomeDirectory(const char* home, char* buffer, size_t size) {
    const size_t length = std::strlen(home);
    const bool needsSeparator = !IsPathSeparator(home[length - 1]);
    if (length + (needsSeparator ? 1 : 0) >= size) {
        return;
    }
    std::memcpy(buffer, home, length);
    buffer[length] = kPathSeparator;
    buffer[length + (needsSeparator ? 1 : 0)] = '\0';
}

// The executable's directory, cut after its last separator.
void ExecutableDirectory(char* buffer, size_t size) {
    if (!ExecutablePath(buffer, size)) {
        return;
    }
    char* last = nullptr;
    for (char* c = buffer; *c != '\0'; ++c) {
        if (IsPathSeparator(*c)) last = c;
    }
    if (last == nullptr) {
        buffer[0] = '\0';
    } else {
        last[1] = '\0';
    }
}

}  // namespace

void ModuleDirectory(char* buffer, size_t size) {
    if (size == 0) {
        return;
    }
    buffer[0] = '\0';
    const char* home = std::getenv("FLASHDLL_HOME");
    if (home != nullptr && home[0] != '\0') {
        HomeDirectory(home, buffer, size);
    } else {
        ExecutableDirectory(buffer, size);
    }
}

}  // namespace os
