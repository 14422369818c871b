// Where the host executable lies, and how paths are spelled on this system.
#pragma once

#include <cstddef>

namespace os {

// The directory separator of this system.
extern const char kPathSeparator;

// True for a character that ends a directory name on this system.
bool IsPathSeparator(char c);

// Writes the full path of the running executable into `buffer`; false when
// it cannot be had or does not fit.
bool ExecutablePath(char* buffer, size_t size);

// The module directory: the directory of the running executable with its
// trailing separator, or the directory named by the environment variable
// FLASHDLL_HOME when that is set (a trailing separator is added when
// missing). Empty when neither can be had or it does not fit.
void ModuleDirectory(char* buffer, size_t size);

// Rewrites the separators of a path written for another system (a
// backslash in a loader file name) into this system's separator.
void NormalizePathSeparators(char* path);

}  // namespace os
