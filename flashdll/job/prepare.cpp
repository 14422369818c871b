// Preparing one load on ThreadProtocol: the option ranges, the platform,
// the contents file, the image buffers, the ports and their speeds, the
// loader and user images; then the boot loader phase and the main phase.
// Every path out closes the ports and frees the image buffers.
#include "flashdll/job/prepare.h"

#include <cstdio>

#include "flashdll/contents/contents.h"
#include "flashdll/hw/platform.h"
#include "flashdll/image/image_buffer.h"
#include "flashdll/image/ranges.h"
#include "flashdll/image/srec_reader.h"
#include "flashdll/link/serial.h"
#include "flashdll/report/notify.h"
#include "flashdll/session/options.h"
#include "flashdll/os/system_info.h"
#include "flashdll/os/thread.h"
#include "flashdll/job/phase.h"
#include "flashdll/session/session.h"
#include "flashdll/session/thread_priority.h"

namespace {

constexpr uint32_t kOpenBaud = 115200;
constexpr uint32_t kOpenTimeoutMs = 1000;
// Written on the current port after a successful main phase: it ends the
// flash loader's session in the handset.
constexpr uint8_t kClosingByte = 0x6F;  // 'o'

bool PhaseRuns(const Session* session, uint32_t phase) {
    return session->options.phases == FLASH_PHASES_ALL || session->options.phases == phase;
}

uint32_t Recorded(Session* session, uint32_t code) {
    RecordError(session, code);
    return code;
}

// Neither list may hold overlapping ranges; the reserved ranges do not
// matter to a verify.
uint32_t CheckOptionRanges(const Session* session) {
    const FlashLoadOptions& options = session->options;
    if (options.reservedcount > 0 && options.mode != FLASH_MODE_VERIFY &&
        CheckRangesDisjoint(options.reserved, options.reservedcount) != SUCCESS) {
        return ERR_RANGES_OVERLAP;
    }
    if (options.readcount > 0 && CheckRangesDisjoint(options.read, options.readcount) != SUCCESS) {
        return ERR_RANGES_OVERLAP;
    }
    return SUCCESS;
}

// Joins reserved ranges that follow each other in the given order, then
// sorts both lists.
void ArrangeOptionRanges(Session* session) {
    FlashLoadOptions& options = session->options;
    MergeAdjacentRanges(options.reserved, &options.reservedcount);
    SortRanges(options.reserved, options.reservedcount);
    SortRanges(options.read, options.readcount);
}

uint32_t ReadDescriptions(Session* session) {
    if (!ReadPlatform(session)) {
        return Recorded(session, ERR_BAD_PLATFORM);
    }
    if (session->options.contentsmode != 0 && !ReadContents(session)) {
        return Recorded(session, ERR_BAD_CONTENTS);
    }
    if (!AllocImageBuffers(session)) {
        return Recorded(session, ERR_NOMEM);
    }
    return SUCCESS;
}

// Opens every port and discards whatever the handset sent before.
uint32_t OpenPorts(Session* session) {
    for (uint32_t port = 0; port < session->portCount; ++port) {
        if (!ComOpen(session, port, session->options.com[port], kOpenBaud, kOpenTimeoutMs)) {
            return Recorded(session, ERR_COM);
        }
        ComPolling(session, port, 1);
        ComFlush(session, port);
        ComPolling(session, port, 0);
    }
    return SUCCESS;
}

// Finds the PC speeds the port's driver accepts and leaves it at 115200.
uint32_t ProbeSpeeds(Session* session, uint32_t port) {
    PortRecord& record = session->ports[port];
    record.supportedSpeedCount = 0;
    char text[kFormatBufferSize];
    int length = std::snprintf(text, sizeof text, "PC transfer speeds (COM%u):", session->options.com[port] + 1);
    for (const uint32_t speed : kSpeedList) {
        if (!ComSetBaud(session, port, speed)) {
            continue;
        }
        record.supportedSpeeds[record.supportedSpeedCount++] = speed;
        if (length > 0 && static_cast<size_t>(length) < sizeof text) {
            length += std::snprintf(text + length, sizeof text - length, " %lu", static_cast<unsigned long>(speed));
        }
    }
    if (!ComSetBaud(session, port, kOpenBaud)) {
        return ERR_COM;
    }
    record.linkSpeed = kOpenBaud;
    PostHostMessage(session, FLASH_LEVEL_INFO, "%s", text);
    return SUCCESS;
}

uint32_t ProbeAllSpeeds(Session* session) {
    for (uint32_t port = 0; port < session->portCount; ++port) {
        const uint32_t result = ProbeSpeeds(session, port);
        if (result != SUCCESS) {
            return result;
        }
    }
    return SUCCESS;
}

bool SetupLoaderNeeded(const PlatformRecord& platform) {
    return platform.setupLoaderIgnored == 0 &&
           (platform.memoryInterfaceType == 1 || platform.setupLoaderPath[0] != '\0');
}

// A loader file without a single data record would be "downloaded" as
// nothing, and the handset started on whatever its RAM holds.
uint32_t LoadLoaderFile(Session* session, ImageBuffer* image, const char* path, const char* what,
                        uint32_t emptyCode) {
    const uint32_t result = LoadSRecordFile(session, image, path, 0);
    if (result != SUCCESS || image->regionCount > 0) {
        return result;
    }
    PostHostMessage(session, FLASH_LEVEL_ERROR, "Error: The %s file \"%s\" holds no data", what, path);
    return Recorded(session, emptyCode);
}

uint32_t LoadLoaderImages(Session* session) {
    const PlatformRecord& platform = session->platform;
    const bool setupLoader = SetupLoaderNeeded(platform);
    if (setupLoader && !FileExists(session, platform.setupLoaderPath)) {
        return Recorded(session, ERR_WRONG_FILE_SL);
    }
    if (!FileExists(session, platform.flashLoaderPath)) {
        return Recorded(session, ERR_WRONG_FILE_FL);
    }
    PushThreadPriority(session, os::kPriorityNormal);
    uint32_t result = SUCCESS;
    if (setupLoader) {
        result = LoadLoaderFile(session, &session->setupLoaderImage, platform.setupLoaderPath, "setup loader",
                                ERR_WRONG_FILE_SL);
    }
    if (result == SUCCESS) {
        result = LoadLoaderFile(session, &session->flashLoaderImage, platform.flashLoaderPath, "flash loader",
                                ERR_WRONG_FILE_FL);
    }
    PopThreadPriority(session);
    return result;
}

uint32_t LoadUserImage(Session* session) {
    const char* file = session->options.file;
    if (!FileExists(session, file)) {
        return Recorded(session, ERR_WRONG_FILE_LOAD);
    }
    PushThreadPriority(session, os::kPriorityNormal);
    const uint32_t result = LoadSRecordFile(session, &session->userImage, file, 1);
    PopThreadPriority(session);
    return result;
}

bool ModeUsesImage(uint32_t mode) {
    return mode == FLASH_MODE_FLASH || mode == FLASH_MODE_VERIFY || mode == FLASH_MODE_FLASH_CONTENTS;
}

// A read-back needs ranges to read and a file to save them in.
uint32_t CheckReadBack(Session* session) {
    if (session->options.readcount == 0) {
        PostHostMessage(session, FLASH_LEVEL_WARNING, "No memory region to be read defined");
        return Recorded(session, ERR_WRONG_READLENGTH);
    }
    if (session->options.savefile[0] == '\0') {
        PostHostMessage(session, FLASH_LEVEL_WARNING, "SaveFile not specified!");
        return Recorded(session, ERR_WRONG_FILE_SAVE);
    }
    return SUCCESS;
}

// Everything before the first byte goes to the handset.
uint32_t PrepareResources(Session* session) {
    uint32_t result = ReadDescriptions(session);
    if (result == SUCCESS) {
        result = OpenPorts(session);
    }
    if (result == SUCCESS) {
        result = ProbeAllSpeeds(session);
    }
    if (result == SUCCESS && PhaseRuns(session, FLASH_PHASES_BL)) {
        result = LoadLoaderImages(session);
    }
    if (result == SUCCESS && PhaseRuns(session, FLASH_PHASES_FL) && ModeUsesImage(session->options.mode)) {
        result = LoadUserImage(session);
    }
    if (result == SUCCESS && session->options.mode == FLASH_MODE_READ) {
        result = CheckReadBack(session);
    }
    return result;
}

// The port whose driver accepts the highest rate; the lower index on a tie.
uint32_t FastestPort(const Session* session) {
    uint32_t fastest = 0;
    uint32_t highest = 0;
    for (uint32_t port = 0; port < session->portCount; ++port) {
        const PortRecord& record = session->ports[port];
        for (uint32_t i = 0; i < record.supportedSpeedCount; ++i) {
            if (record.supportedSpeeds[i] > highest) {
                highest = record.supportedSpeeds[i];
                fastest = port;
            }
        }
    }
    return fastest;
}

uint32_t RunMainPhase(Session* session) {
    session->currentPort = FastestPort(session);
    const uint32_t mode = session->options.mode;
    session->currentMode = mode;
    const char* path = mode == FLASH_MODE_READ ? session->options.savefile : session->options.file;
    return SendFile(session, path, mode);
}

uint32_t RunPhases(Session* session) {
    uint32_t result = SUCCESS;
    if (PhaseRuns(session, FLASH_PHASES_BL)) {
        session->currentMode = kBootLoaderPhaseMode;
        result = SendFile(session, session->platform.flashLoaderPath, kBootLoaderPhaseMode);
    }
    if (result != SUCCESS || session->options.phases == FLASH_PHASES_BL) {
        return result;
    }
    result = RunMainPhase(session);
    if (result == SUCCESS) {
        const uint8_t closing = kClosingByte;
        uint32_t written = 0;
        ComWrite(session, session->currentPort, &closing, 1, &written);
    }
    return result;
}

}  // namespace

void CheckOS(Session* session) {
    session->legacyOs = 1;
    os::SystemVersion version = {};
    if (os::GetSystemVersion(&version)) {
        LogLine(session, "OS: %s", version.name);
        if (version.ntFamily) {
            session->legacyOs = 0;
        }
    }
    // A system whose version cannot be read is treated as a legacy one:
    // synchronous I/O on one port works everywhere.
    if (session->legacyOs == 0) {
        session->overlappedIo = 1;
        return;
    }
    session->overlappedIo = 0;
    if (session->portCount > 1) {
        LogLine(session, "Running on legacy OS -> disabling multi-port capabality");
        session->portCount = 1;
    }
}

bool FileExists(Session* session, const char* path) {
    std::FILE* file = std::fopen(path, "r");
    if (file == nullptr) {
        PostHostMessage(session, FLASH_LEVEL_WARNING, "Error: Unable to open file \"%s\"", path);
        return false;
    }
    std::fclose(file);
    return true;
}

uint32_t PrepareLoad(Session* session) {
    uint32_t result = CheckOptionRanges(session);
    if (result != SUCCESS) {
        return result;  // nothing is open yet
    }
    ArrangeOptionRanges(session);
    result = PrepareResources(session);
    if (result == SUCCESS) {
        result = RunPhases(session);
    }
    ComCloseAll(session);
    FreeImageBuffers(session);
    // Whatever a dialogue made of it (a time-out, a failed resync, a stop as
    // for an abort), a job that failed after a port's device went away
    // failed for want of that port; an abort the host asked for stays one.
    if (result != SUCCESS && PortLost(session) && session->run.abortFlag.load() == 0) {
        result = ERR_COM;
    }
    return result;
}
