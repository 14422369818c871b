#include "flashdll/session/session_link.h"

#include "flashdll/link/serial.h"
#include "flashdll/session/session.h"

SerialLink SerialLinkOf(Session* session) {
    return SerialLink{session->ports,           session->portCount,   session->overlappedIo,
                      session->options.pollingvariant, session->options.com, &session->portWatch,
                      &session->run.abortFlag,  ReporterOf(session)};
}

int ComOpen(Session* session, uint32_t port, uint32_t comIndex, uint32_t baud, uint32_t timeoutMs) {
    return ComOpen(SerialLinkOf(session), port, comIndex, baud, timeoutMs);
}

int ComSetBaud(Session* session, uint32_t port, uint32_t baud) {
    return ComSetBaud(SerialLinkOf(session), port, baud);
}

uint32_t ComSetTimout(Session* session, uint32_t port, uint32_t timeoutMs) {
    return ComSetTimout(SerialLinkOf(session), port, timeoutMs);
}

void ComPolling(Session* session, uint32_t port, int on) { ComPolling(SerialLinkOf(session), port, on); }

int ComWrite(Session* session, uint32_t port, const void* data, uint32_t length, uint32_t* written) {
    return ComWrite(SerialLinkOf(session), port, data, length, written);
}

int ComRead(Session* session, uint32_t port, void* data, uint32_t length, uint32_t* got) {
    return ComRead(SerialLinkOf(session), port, data, length, got);
}

void ComFlush(Session* session, uint32_t port) { ComFlush(SerialLinkOf(session), port); }

void ComDrain(Session* session, uint32_t port) { ComDrain(SerialLinkOf(session), port); }

void ComClose(Session* session, uint32_t port) { ComClose(SerialLinkOf(session), port); }

void ComCloseAll(Session* session) { ComCloseAll(SerialLinkOf(session)); }

int ComWriteParts(Session* session, const void* part0, uint32_t length0, const void* part1, uint32_t length1) {
    return ComWriteParts(SerialLinkOf(session), part0, length0, part1, length1);
}

int AbortRequested(Session* session) { return AbortRequested(SerialLinkOf(session)); }

int PortLost(const Session* session) { return PortLost(session->ports); }

void WatchPorts(Session* session) { WatchPorts(SerialLinkOf(session)); }
