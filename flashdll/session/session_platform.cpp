#include "flashdll/session/session_platform.h"

#include "flashdll/hw/platform.h"
#include "flashdll/session/session.h"

int ReadPlatform(Session* session) {
    const PlatformSource source{&session->platform,       &session->userImage, &session->options,
                                session->platformDefPath, session->moduleDir,  ReporterOf(session)};
    return ReadPlatform(source);
}
