// The boot loader phase: the platform's boot loader type picks the dialogue.
#include "flashdll/boot/boot_loader.h"
#include "flashdll/link/serial.h"
#include "flashdll/report/notify.h"
#include "flashdll/os/thread.h"
#include "flashdll/session/thread_priority.h"
#include "flashdll/session/session.h"

uint32_t TalkToBootLoader(Session* session) {
    LogLine(session, "TalkToBootLoader (using %s)",
            ComName(session->options.com[session->currentPort]));
    if (session->platform.bootLoaderType == kBootLoaderActive) {
        return TalkToActiveBootLoader(session);
    }
    // The passive boot loader answers within microseconds and drops what it
    // misses: keep the thread ahead of the rest of the process.
    PushThreadPriority(session, os::kPriorityHighest);
    uint32_t result = TalkToPassiveBootLoader(session);
    if (result == SUCCESS && session->platform.setupLoaderUsed == 1) {
        result = TalkToSetupLoader(session);
    }
    PopThreadPriority(session);
    return result;
}
