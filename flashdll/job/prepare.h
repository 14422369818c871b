// Preparing one load on ThreadProtocol.
#pragma once

#include <cstdint>

struct Session;

void CheckOS(Session* session);
// True when `path` opens for reading; otherwise posts a level-1 message.
bool FileExists(Session* session, const char* path);
uint32_t PrepareLoad(Session* session);
