// The phase driver: runs the boot loader phase (the ROM boot loader takes
// the loaders) or the main phase (the flash loader performs the operation)
// and logs how long it took.
#include "flashdll/job/phase.h"

#include <cstdio>

#include "flashdll/boot/boot_loader.h"
#include "flashdll/contents/download.h"
#include "flashdll/report/errors.h"
#include "flashdll/flashdll.h"
#include "flashdll/loader/flash_ops.h"
#include "flashdll/loader/handshake.h"
#include "flashdll/report/notify.h"
#include "flashdll/os/clock.h"
#include "flashdll/report/queue.h"
#include "flashdll/session/session.h"

namespace {

constexpr const char* kPowerOnText = "Power on mobile !";
constexpr size_t kDurationTextSize = 32;

uint32_t RunBootLoaderPhase(Session* session) {
    // The prompt must be on the host's screen before the handset is woken.
    PostHostMessage(session, FLASH_LEVEL_INFO, "%s", kPowerOnText);
    ProgressBegin(session, kPowerOnText, 1);
    ProgressUpdate(session, 0);
    ProgressEnd(session);
    WaitDelivered(session);
    const uint32_t result = TalkToBootLoader(session);
    if (result == SUCCESS) {
        LogLine(session, "TalkToBootloader: OK");
    }
    return result;
}

// Programs the image, then writes the contents files; the flash loader's
// session is closed with DONE after the files, whatever their outcome.
uint32_t FlashThenDownload(Session* session) {
    uint32_t result = LoadFlash(session);
    if (result != SUCCESS) {
        return result;
    }
    result = DownloadFiles(session);
    Done(session);
    return result;
}

uint32_t RunOperation(Session* session, uint32_t mode) {
    switch (mode) {
    case FLASH_MODE_FLASH:
        return LoadFlash(session);
    case FLASH_MODE_VERIFY:
        return VerifyFlash(session);
    case FLASH_MODE_READ:
        return ReadFlash(session);
    case FLASH_MODE_FLASH_CONTENTS:
        return FlashThenDownload(session);
    case FLASH_MODE_CONTENTS:
        return DownloadFiles(session);
    default:
        return SUCCESS;
    }
}

// The handshake with the flash loader, then the operation. The clock is
// restarted after the handshake: the duration covers the operation alone.
uint32_t RunMainPhase(Session* session, uint32_t mode, uint32_t* startMs) {
    const uint32_t result = TalkToFlashloader(session);
    if (result != SUCCESS) {
        return result;
    }
    LogLine(session, "TalkToFlashloader: OK");
    *startMs = os::TickCountMs();
    return RunOperation(session, mode);
}

void LogPhaseEnd(Session* session, uint32_t result, uint32_t startMs) {
    if (result != SUCCESS) {
        char name[kErrorNameSize];
        LogLine(session, "SendFile: %u (%s)", result, ErrorName(result, name));
        return;
    }
    // Unsigned difference: right across a wrap of the tick counter.
    uint32_t seconds = (os::TickCountMs() - startMs) / 1000;
    if (seconds == 0) {
        seconds = 1;
    }
    char duration[kDurationTextSize];
    LogLine(session, "Duration: %s", DurationText(seconds, duration, sizeof duration));
}

}  // namespace

const char* DurationText(uint32_t seconds, char* buffer, size_t size) {
    if (seconds < 60) {
        std::snprintf(buffer, size, "%lus", static_cast<unsigned long>(seconds));
    } else if (seconds < 3600) {
        std::snprintf(buffer, size, "%u:%02u", seconds / 60, seconds % 60);
    } else {
        std::snprintf(buffer, size, "%u:%02u:%02u", seconds / 3600, seconds / 60 % 60, seconds % 60);
    }
    return buffer;
}

uint32_t SendFile(Session* session, const char* path, uint32_t mode) {
    uint32_t startMs = os::TickCountMs();
    LogLine(session, "SendFile=%s, Mode=%u", path, mode);
    const uint32_t result = mode == kBootLoaderPhaseMode ? RunBootLoaderPhase(session)
                                                         : RunMainPhase(session, mode, &startMs);
    LogPhaseEnd(session, result, startMs);
    return result;
}
