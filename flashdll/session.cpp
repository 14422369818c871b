#include "flashdll/session.h"

#include <cstdio>

namespace {
char g_comNames[kComNameCount][kComNameSize];
}  // namespace

Session* SessionOf(FlashHostDescriptor* host) {
    return host != nullptr ? static_cast<Session*>(host->session) : nullptr;
}

void RecordError(Session* session, uint32_t code) {
    session->run.recordedError = code;
}

void BuildComNameTable() {
    for (uint32_t i = 0; i < kComNameCount; ++i) {
        std::snprintf(g_comNames[i], kComNameSize, "COM%u", i + 1);
    }
}

const char* ComName(uint32_t comIndex) {
    if (comIndex >= kComNameCount || g_comNames[comIndex][0] == '\0') {
        return "COM?";
    }
    return g_comNames[comIndex];
}
