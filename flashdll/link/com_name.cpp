#include "flashdll/link/com_name.h"

#include <cstdio>

namespace {

// Filled once for the whole process and only read afterwards, so sessions
// on any thread may name ports at any time.
struct ComNameTable {
    char names[kComNameCount][kComNameSize];
};

ComNameTable MakeComNameTable() {
    ComNameTable table = {};
    for (uint32_t i = 0; i < kComNameCount; ++i) {
        std::snprintf(table.names[i], kComNameSize, "COM%u", i + 1);
    }
    return table;
}

const ComNameTable& ComNames() {
    static const ComNameTable table = MakeComNameTable();  // initialised once, thread-safe
    return table;
}

}  // namespace

void BuildComNameTable() { ComNames(); }

const char* ComName(uint32_t comIndex) {
    return comIndex < kComNameCount ? ComNames().names[comIndex] : "COM?";
}
