// Reaching the flash loader once the boot loader phase has started it:
// switch-over, sync, device information and version check, then chip
// detection, the connection test and the baud rates (in their own files).
#include "flashdll/loader/handshake.h"

#include <cstring>

#include "flashdll/report/errors.h"
#include "flashdll/hw/fs_chip_table.h"
#include "flashdll/link/serial.h"
#include "flashdll/loader/fl_command.h"
#include "flashdll/link/fourcc.h"
#include "flashdll/loader/handshake_steps.h"
#include "flashdll/loader/poll_uart.h"
#include "flashdll/link/le.h"
#include "flashdll/report/notify.h"
#include "flashdll/os/clock.h"
#include "flashdll/session/session.h"

namespace {

constexpr uint32_t kInfo = FourCC("INFO");
constexpr uint32_t kInfoTimeoutMs = 3000;
constexpr uint32_t kInfoAttempts = 5;
constexpr uint32_t kSwitchOverTimeoutMs = 5000;
constexpr uint32_t kSwitchOverReadTimeoutMs = 10;

constexpr uint32_t kFlagEraseUnused = 0x20000000u;
constexpr uint32_t kFlagSpareNand = 0x40000000u;

constexpr uint32_t kMinimumMajor = 5;
constexpr uint32_t kMinimumMinor = 13;

// Reply word positions.
constexpr uint32_t kVersionWord = 0;
constexpr uint32_t kChipCountWord = 1;
constexpr uint32_t kFirstChipWord = 2;
constexpr uint32_t kChipSlotWords = 7;
constexpr uint32_t kMaxTxWord = 30;
constexpr uint32_t kMaxRxWord = 31;
constexpr uint32_t kSpeedsWord = 32;

bool HandshakeMode(uint32_t mode) {
    return mode == FLASH_MODE_FLASH || mode == FLASH_MODE_VERIFY || mode == FLASH_MODE_READ ||
           mode == FLASH_MODE_FLASH_CONTENTS || mode == FLASH_MODE_CONTENTS;
}

const char* PortName(const Session* session, uint32_t port) {
    return ComName(session->options.com[port]);
}

// Switch-over: the flash loader answers "*" with the UART it heard it on.
uint32_t SwitchOver(Session* session, uint32_t port) {
    ComSetTimout(session, port, kSwitchOverReadTimeoutMs);
    ComPolling(session, port, 1);
    uint32_t uart = kUnknownUart;
    const uint32_t code = PollForUart(session, port, kSwitchOverTimeoutMs, &uart);
    ComPolling(session, port, 0);
    if (code == ERR_ABORT) return ERR_ABORT;
    if (code != SUCCESS) {
        LogLine(session, "No answer from the flash loader on %s", PortName(session, port));
        return ERR_PROTOCOL;
    }
    session->ports[port].uartNumber = uart;
    return SUCCESS;
}

// A failed resync ends the handshake as a protocol fault, unless the host
// asked for an abort meanwhile.
uint32_t SyncCode(uint32_t sync) {
    return sync == SUCCESS || sync == ERR_ABORT ? sync : static_cast<uint32_t>(ERR_PROTOCOL);
}

uint32_t ReachFlashLoader(Session* session) {
    const uint32_t port = session->currentPort;
    LogLine(session, "TalkToFlashloader (using %s)", PortName(session, port));
    LogLine(session, "Switching over to flash loader");
    const uint32_t code = SwitchOver(session, port);
    if (code != SUCCESS) return code;
    LogLine(session, "%s is connected to UART%u", PortName(session, port),
            session->ports[port].uartNumber);
    LogLine(session, "Sync'ing to flash loader");
    return SyncCode(FLSync(session));
}

// INFO, at most five attempts with a resync between them. An abort ends
// the attempts at once.
uint32_t QueryDeviceInfo(Session* session, uint8_t* reply) {
    LogLine(session, "Querying device information");
    uint8_t request[kInfoRequestWords * 4];
    BuildInfoRequest(session, request);
    uint32_t code = SUCCESS;
    for (uint32_t attempt = 1; attempt <= kInfoAttempts; ++attempt) {
        code = FLSendCmd(session, kInfo, sizeof request, request, kInfoReplyBytes, reply,
                         kInfoTimeoutMs);
        if (code == SUCCESS || code == ERR_ABORT) return code;
        if (attempt < kInfoAttempts) {
            const uint32_t sync = SyncCode(FLSync(session));
            if (sync != SUCCESS) return sync;
        }
    }
    return code;
}

void PostSpeeds(Session* session) {
    char text[kSpeedListTextSize];
    PostHostMessage(session, FLASH_LEVEL_INFO, "%s",
                    FormatSpeedList(session->flashLoader.mobileSpeeds, text, sizeof text));
}

// Limits, speeds and version check.
uint32_t TakeDeviceInfo(Session* session, const DeviceInfo& info) {
    FlashLoaderInfo& loader = session->flashLoader;
    loader.maxTxSize = info.maxTxSize;
    loader.maxRxSize = info.maxRxSize;
    std::memcpy(loader.mobileSpeeds, info.mobileSpeeds, sizeof loader.mobileSpeeds);
    PostHostMessage(session, FLASH_LEVEL_INFO, "Flash loader version: V%u.%02u", info.major,
                    info.minor);
    if (info.major < kMinimumMajor || (info.major == kMinimumMajor && info.minor < kMinimumMinor)) {
        PostHostMessage(session, FLASH_LEVEL_ERROR,
                        "Legacy flash loader detected. (%u.%u < %u.%u) Unable to continue.",
                        info.major, info.minor, kMinimumMajor, kMinimumMinor);
        return ERR_LEGACY_LOADER;
    }
    LogLine(session, "Max. TX/RX size: %lu/%lu", static_cast<unsigned long>(info.maxTxSize),
            static_cast<unsigned long>(info.maxRxSize));
    PostSpeeds(session);
    return SUCCESS;
}

}  // namespace

void BuildInfoRequest(const Session* session, uint8_t* out) {
    const PlatformRecord& platform = session->platform;
    const FlashLoadOptions& options = session->options;
    uint32_t flags = 0;
    if (options.eraseunused != 0 && session->currentMode != FLASH_MODE_CONTENTS) {
        flags |= kFlagEraseUnused;
    }
    if (options.sparenand != 0) flags |= kFlagSpareNand;
    PutLe32(out, platform.chipDescriptions != 0 ? platform.flashDefinitionCount : 0);
    PutLe32(out + 4, flags);
    for (uint32_t i = 0; i < kMaxFlashDefinitions; ++i) {
        const FlashDefinition& definition = platform.flashDefinitions[i];
        uint8_t* slot = out + 8 + 12 * i;
        PutLe32(slot, definition.base);
        PutLe32(slot + 4, ((definition.size >> 20) << 16) | (definition.chipSelect & 0xFF));
        PutLe32(slot + 8, definition.cfsStart);
    }
}

bool DecodeDeviceInfo(const uint8_t* reply, DeviceInfo* info) {
    auto word = [reply](uint32_t index) { return GetLe32(reply + 4 * index); };
    const uint32_t version = word(kVersionWord);
    info->major = (version >> 8) & 0xFF;
    info->minor = version & 0xFF;
    info->chipCount = word(kChipCountWord);
    for (uint32_t i = 0; i < kMaxChips; ++i) {
        const uint32_t first = kFirstChipWord + kChipSlotWords * i;
        info->chips[i] = ChipIds{word(first),     word(first + 1), word(first + 2), word(first + 3),
                                 word(first + 4), word(first + 5), word(first + 6)};
    }
    info->maxTxSize = word(kMaxTxWord);
    info->maxRxSize = word(kMaxRxWord);
    for (uint32_t i = 0; i < kMobileSpeedCount; ++i) info->mobileSpeeds[i] = word(kSpeedsWord + i);
    return info->chipCount <= kMaxChips;
}

uint32_t TalkToFlashloader(Session* session) {
    if (!HandshakeMode(session->currentMode)) return SUCCESS;
    // The chip tables describe the handset of this handshake alone.
    FsChipTableClear(&session->fsChipTable);
    std::memset(&session->flashLoader, 0, sizeof session->flashLoader);
    uint32_t code = ReachFlashLoader(session);
    if (code != SUCCESS) return code;
    uint8_t reply[kInfoReplyBytes] = {};
    if ((code = QueryDeviceInfo(session, reply)) != SUCCESS) return code;
    DeviceInfo info = {};
    const bool chipsFit = DecodeDeviceInfo(reply, &info);
    if ((code = TakeDeviceInfo(session, info)) != SUCCESS) return code;
    if (!chipsFit) {
        LogLine(session, "Device information reports %u chips, at most %u are possible",
                info.chipCount, kMaxChips);
        return ERR_PROTOCOL;
    }
    if ((code = DetectChips(session, info)) != SUCCESS) return code;
    if ((code = TestConnections(session)) != SUCCESS) return code;
    if ((code = RaiseBaudRates(session)) != SUCCESS) return code;
    AssignTransferShares(session);
    return SUCCESS;
}
