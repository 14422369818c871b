// The passive boot loader and the setup loader: the PC pings until the
// loader answers "!" three times in a row, synchronises with "#", asks for
// the loader's info record, downloads a program region by region and starts
// it with "done".
#include <cstring>

#include "flashdll/boot/boot_internal.h"
#include "flashdll/boot/boot_loader.h"
#include "flashdll/link/serial.h"
#include "flashdll/link/fourcc.h"
#include "flashdll/report/notify.h"
#include "flashdll/os/clock.h"
#include "flashdll/os/thread.h"
#include "flashdll/session/thread_priority.h"
#include "flashdll/session/session.h"

namespace {

constexpr uint32_t kPingReadTimeoutMs = 1;
constexpr uint32_t kPingPauseMs = 1;
constexpr uint32_t kPingAnswersNeeded = 3;
constexpr uint32_t kCommandReadTimeoutMs = 250;
constexpr uint32_t kInfoTimeoutMs = 4000;
constexpr uint32_t kDoneTimeoutMs = 4000;
constexpr uint32_t kCommandAttempts = 10;

constexpr uint8_t kPing = '?';
constexpr uint8_t kPingAnswer = '!';
constexpr uint8_t kInitialSync = '#';
constexpr uint32_t kInfoCommand = FourCC("info");
constexpr uint32_t kDoneCommand = FourCC("done");

bool WriteByte(Session* session, uint8_t byte) {
    uint32_t written = 0;
    return ComWrite(session, session->currentPort, &byte, 1, &written) != 0 && written == 1;
}

// Counts "!" answers in a row; a pass without a byte leaves the count alone.
uint32_t PingLoop(Session* session) {
    const uint32_t port = session->currentPort;
    uint32_t answers = 0;
    for (;;) {
        if (!WriteByte(session, kPing)) {
            LogLine(session, "Failed to send PC_PING");
            return ERR_PROTOCOL;
        }
        uint8_t byte = 0;
        uint32_t got = 0;
        if (ComRead(session, port, &byte, 1, &got) == 0) {
            LogLine(session, "ComRead FAILED");
        } else if (got == 1) {
            answers = byte == kPingAnswer ? answers + 1 : 0;
            if (answers == kPingAnswersNeeded) {
                return SUCCESS;
            }
        }
        if (AbortRequested(session) != 0) {
            return ERR_ABORT;
        }
        os::SleepMs(kPingPauseMs);
    }
}

// Pings the loader awake and sends the initial sync.
uint32_t WakeLoader(Session* session) {
    const uint32_t port = session->currentPort;
    ComSetTimout(session, port, kPingReadTimeoutMs);
    ComPolling(session, port, 1);
    PushThreadPriority(session, os::kPriorityTimeCritical);
    const uint32_t result = PingLoop(session);
    ComPolling(session, port, 0);
    PopThreadPriority(session);
    if (result != SUCCESS) {
        return result;
    }
    ComSetTimout(session, port, kCommandReadTimeoutMs);
    if (!WriteByte(session, kInitialSync)) {
        LogLine(session, "Failed to send PC_INITIAL_SYNC");
        return ERR_PROTOCOL;
    }
    return SUCCESS;
}

// A command without payload, retried with a resync after every failure.
uint32_t SendWithRetries(Session* session, uint32_t command, uint32_t minReply, uint32_t maxReply,
                         void* reply, uint32_t timeoutMs, const char* name) {
    uint32_t result = SUCCESS;
    for (uint32_t attempt = 0; attempt < kCommandAttempts; ++attempt) {
        result = BLSendCmd(session, command, 0, nullptr, minReply, maxReply, reply, timeoutMs);
        if (result == SUCCESS || result == ERR_ABORT) {
            return result;
        }
        BLSync(session);
    }
    LogLine(session, "Too many retries for %s", name);
    return result;
}

uint32_t QueryInfo(Session* session, uint8_t* reply) {
    std::memset(reply, 0, kInfoReplyMax);  // words the reply does not carry read as 0
    return SendWithRetries(session, kInfoCommand, kInfoReplyMin, kInfoReplyMax, reply,
                           kInfoTimeoutMs, "PC_INFO");
}

uint32_t StartLoadedProgram(Session* session) {
    return SendWithRetries(session, kDoneCommand, 0, 0, nullptr, kDoneTimeoutMs, "PC_DONE");
}

void LogTransferSize(Session* session, uint32_t reported) {
    LogLine(session, "Max. transfer size: %lu bytes", static_cast<unsigned long>(reported));
    LogLine(session, "Adjusted max. transfer size to: %lu bytes",
            static_cast<unsigned long>(AdjustedTransferSize(reported)));
}

void LogIdRegister(Session* session, const LoaderInfo& info) {
    const uint32_t mit = session->platform.memoryInterfaceType;
    const unsigned long id = info.idRegister;
    if (mit == 0 && info.hasIdRegister) {
        LogLine(session, "ID register: 0x%08lx (Corvane %s)", id, (id & 0x100) == 0 ? "I" : "II");
    } else if (mit == 1 && info.hasIdRegister) {
        LogLine(session, "ID register: 0x%08lx (%s)", id, RevisionLabel(info.idRegister));
    } else if (mit == 1) {
        LogLine(session, "ID register: not reported");
    }
}

void LogBootLoaderInfo(Session* session, const LoaderInfo& info) {
    char mask[5];
    LogLine(session, "Bootloader V%u.%u using UART%u", info.major, info.minor, info.uart);
    LogLine(session, "ROM mask ID: 0x%08lx (%s)", static_cast<unsigned long>(info.romMaskId),
            RomMaskText(info.romMaskId, mask));
    LogIdRegister(session, info);
    LogLine(session, "Bootloader type: %u (%u)", info.bootLoaderType, info.flag);
    LogTransferSize(session, info.maxTransfer);
}

void LogSetupLoaderInfo(Session* session, const LoaderInfo& info) {
    LogLine(session, "Setup loader V%u.%u using UART%u", info.major, info.minor, info.uart);
    LogLine(session, "Setup loader type: %u", info.setupLoaderType);
    LogTransferSize(session, info.maxTransfer);
}

// Identifies the boot loader and decides which program it receives.
uint32_t AcceptBootLoader(Session* session, const LoaderInfo& info) {
    PlatformRecord& platform = session->platform;
    uint32_t setupLoaderUsed = 0;
    if (!CheckBootLoaderIdentity(platform.memoryInterfaceType, info, &setupLoaderUsed)) {
        LogLine(session, "Unknown HW platform or corrupted bootloader signature");
        return ERR_UNKOWN_HW;
    }
    platform.setupLoaderUsed = platform.setupLoaderIgnored != 0 ? 0 : setupLoaderUsed;
    // Load preparation refuses a named setup loader that holds no data; here
    // the boot loader asks for one the platform does not name at all.
    if (platform.setupLoaderUsed == 1 && session->setupLoaderImage.regionCount == 0) {
        PostHostMessage(session, FLASH_LEVEL_ERROR,
                        "Error: The boot loader asks for a setup loader, but platform \"%s\" names none",
                        session->options.platform);
        RecordError(session, ERR_WRONG_FILE_SL);
        return ERR_WRONG_FILE_SL;
    }
    return SUCCESS;
}

// Wakes the loader, synchronises and reads its info record.
uint32_t WakeAndIdentify(Session* session, LoaderInfo* info) {
    uint8_t reply[kInfoReplyMax];
    uint32_t result = WakeLoader(session);
    if (result == SUCCESS) {
        result = QueryInfo(session, reply);
    }
    if (result == SUCCESS) {
        *info = DecodeInfoRecord(reply);
    }
    return result;
}

uint32_t DownloadAndStart(Session* session, LoaderDownload* download) {
    const uint32_t result = LoadLoaderImage(session, download);
    return result != SUCCESS ? result : StartLoadedProgram(session);
}

}  // namespace

uint32_t TalkToPassiveBootLoader(Session* session) {
    LogLine(session, "Talking to passive bootloader");
    LoaderInfo info = {};
    uint32_t result = WakeAndIdentify(session, &info);
    if (result != SUCCESS) {
        return result;
    }
    LogBootLoaderInfo(session, info);
    result = AcceptBootLoader(session, info);
    if (result != SUCCESS) {
        return result;
    }
    const bool setupLoader = session->platform.setupLoaderUsed == 1;
    LoaderDownload download = {setupLoader ? &session->setupLoaderImage : &session->flashLoaderImage,
                               setupLoader ? "setup loader" : "flash loader",
                               AdjustedTransferSize(info.maxTransfer), true};
    return DownloadAndStart(session, &download);
}

uint32_t TalkToSetupLoader(Session* session) {
    LogLine(session, "Talking to setup loader");
    LoaderInfo info = {};
    uint32_t result = WakeAndIdentify(session, &info);
    if (result != SUCCESS) {
        return result;
    }
    LogSetupLoaderInfo(session, info);
    if (!TransferSizeUsable(info.maxTransfer, kBlMaxChunk)) {
        LogLine(session, "Setup loader: unusable max. transfer size: %lu bytes",
                static_cast<unsigned long>(info.maxTransfer));
        return ERR_PROTOCOL;
    }
    LoaderDownload download = {&session->flashLoaderImage, nullptr,
                               AdjustedTransferSize(info.maxTransfer), false};
    return DownloadAndStart(session, &download);
}
