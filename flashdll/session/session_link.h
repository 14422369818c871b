// The serial link of a session: the link/ operations on the session's port
// records, options and run state (link/serial.h says what each one does).
#pragma once

#include <cstdint>

struct SerialLink;
struct Session;

// The session's ports as a SerialLink (valid while the session is).
SerialLink SerialLinkOf(Session* session);

int ComOpen(Session* session, uint32_t port, uint32_t comIndex, uint32_t baud, uint32_t timeoutMs);
int ComSetBaud(Session* session, uint32_t port, uint32_t baud);
uint32_t ComSetTimout(Session* session, uint32_t port, uint32_t timeoutMs);
void ComPolling(Session* session, uint32_t port, int on);
int ComWrite(Session* session, uint32_t port, const void* data, uint32_t length, uint32_t* written);
int ComRead(Session* session, uint32_t port, void* data, uint32_t length, uint32_t* got);
void ComFlush(Session* session, uint32_t port);
void ComDrain(Session* session, uint32_t port);
void ComClose(Session* session, uint32_t port);
void ComCloseAll(Session* session);
int ComWriteParts(Session* session, const void* part0, uint32_t length0,
                  const void* part1, uint32_t length1);
// Nonzero once the running load must stop (the host's abort or a lost port).
int AbortRequested(Session* session);
// Nonzero when the device of a port of the load has gone.
int PortLost(const Session* session);
void WatchPorts(Session* session);
