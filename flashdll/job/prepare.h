// Preparing one load on ThreadProtocol, and the helpers the dialogues share.
#pragma once

#include <cstdint>

#include "flashdll/session/run_state.h"

struct Session;

void CheckOS(Session* session);
// True when `path` opens for reading; otherwise posts a level-1 message.
bool FileExists(Session* session, const char* path);
void PushThreadPriority(Session* session, int priority);
void PopThreadPriority(Session* session);
uint32_t PrepareLoad(Session* session);
