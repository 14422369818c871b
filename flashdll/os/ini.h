// Reading values from INI files (platform.def, flash.types).
#pragma once

#include <cstdint>

namespace os {

// Reads `key` of `section` from the INI file at `path` into `out` (`size`
// bytes, at least 1). Section and key names are compared without regard to
// case; the first matching section and key win; blanks around names and
// values are trimmed and one pair of enclosing double quotes is removed;
// lines starting with ';' are comments; CR LF and LF line ends read alike. A
// missing file, section or key gives `defaultValue`; a key with an empty value
// gives an empty text. Values are cut to size - 1 characters. Returns the
// number of characters written, without the NUL.
uint32_t IniGetString(const char* path, const char* section, const char* key,
                      const char* defaultValue, char* out, uint32_t size);

}  // namespace os
