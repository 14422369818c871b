// ThreadProtocol's priority around the stretches that need another one: each
// push saves the current priority on the session's stack and sets a new
// one, and the matching pop restores it.
#pragma once

struct Session;

void PushThreadPriority(Session* session, int priority);
void PopThreadPriority(Session* session);
