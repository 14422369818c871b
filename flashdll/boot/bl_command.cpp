// The framed command exchange with the passive boot loader and the setup
// loader. A command frame is "4CC, length, payload, CRC, (pc)", assembled
// whole and sent in one write; the reply is "resp", the command's echo,
// "+ok+" with length, data, CRC and "(hw)", or "nack" with "(hw)".
#include <cstring>
#include <initializer_list>

#include "flashdll/boot/boot_loader.h"
#include "flashdll/link/serial.h"
#include "flashdll/link/crc32.h"
#include "flashdll/loader/fl_command.h"
#include "flashdll/link/fourcc.h"
#include "flashdll/link/le.h"
#include "flashdll/report/notify.h"
#include "flashdll/session/session.h"

namespace {

constexpr uint32_t kSyncTimeoutMs = 5000;    // per attempt
// A loader that answers no "sync" in this many attempts is not coming back
// by more of them; the caller's own attempts go on or give up.
constexpr uint32_t kSyncAttempts = 5;
constexpr uint32_t kFrameOverheadBytes = 16;  // 4CC, length, CRC, tail

constexpr uint32_t kResponse = FourCC("resp");
constexpr uint32_t kAccepted = FourCC("+ok+");
constexpr uint32_t kRefused = FourCC("nack");
constexpr uint32_t kCommandTail = FourCC("(pc)");
constexpr uint32_t kReplyTail = FourCC("(hw)");
constexpr uint32_t kSyncRequest = FourCC("sync");
constexpr uint32_t kSyncAnswer = FourCC("-()-");

// Exactly `length` bytes with the port's current read time-out.
bool ReadExactly(Session* session, void* data, uint32_t length) {
    uint32_t got = 0;
    return ComRead(session, session->currentPort, data, length, &got) != 0 && got == length;
}

bool ReadWord(Session* session, uint32_t* value) {
    uint8_t bytes[4];
    if (!ReadExactly(session, bytes, 4)) {
        return false;
    }
    *value = GetLe32(bytes);
    return true;
}

uint32_t SendFrame(Session* session, uint32_t command, uint32_t length, const void* payload) {
    uint8_t frame[kBlPayloadCapacity + kFrameOverheadBytes];
    uint32_t size = 0;
    PutLe32(frame, command);
    PutLe32(frame + 4, length);
    size = 8;
    if (length > 0) {
        std::memcpy(frame + size, payload, length);
        size += length;
        PutLe32(frame + size, Crc32(payload, length));
        size += 4;
    }
    PutLe32(frame + size, kCommandTail);
    size += 4;
    uint32_t written = 0;
    if (ComWrite(session, session->currentPort, frame, size, &written) == 0 || written != size) {
        LogLine(session, "Failed to send BL cmd");
        return ERR_PROTOCOL;
    }
    return SUCCESS;
}

uint32_t WaitForReplyHead(Session* session, uint32_t command, uint32_t timeoutMs, uint32_t* status) {
    for (const uint32_t code : {kResponse, command}) {
        const uint32_t result = WaitFor4CC(session, code, timeoutMs);
        if (result != SUCCESS) {
            LogLine(session, "BLWaitFor4CC(%c%c%c%c) failed: %u", FOURCC_CHARS(code), result);
            return result;
        }
    }
    const uint32_t statuses[2] = {kAccepted, kRefused};
    const uint32_t result = WaitFor4CCs(session, 2, statuses, timeoutMs, status);
    if (result != SUCCESS) {
        LogLine(session, "BLWaitFor4CCs failed: %u", result);
    }
    return result;
}

uint32_t ReadReplyData(Session* session, uint32_t minReply, uint32_t maxReply, void* reply) {
    uint32_t length = 0;
    if (!ReadWord(session, &length)) {
        return ERR_PROTOCOL;
    }
    if (length < minReply || length > maxReply) {
        LogLine(session, "msg size out of range: %lu (%lu-%lu)", static_cast<unsigned long>(length),
                static_cast<unsigned long>(minReply), static_cast<unsigned long>(maxReply));
        return ERR_PROTOCOL;
    }
    if (length == 0) {
        return SUCCESS;
    }
    uint32_t crc = 0;
    if (!ReadExactly(session, reply, length) || !ReadWord(session, &crc)) {
        return ERR_PROTOCOL;
    }
    return crc == Crc32(reply, length) ? SUCCESS : ERR_CRC;
}

}  // namespace

uint32_t BLSendCmd(Session* session, uint32_t command, uint32_t payloadLength,
                   const void* payload, uint32_t minReply, uint32_t maxReply,
                   void* reply, uint32_t timeoutMs) {
    if (maxReply == 0) {
        maxReply = minReply;
    }
    if (payloadLength > kBlPayloadCapacity) {
        LogLine(session, "Failed to send BL cmd");
        return ERR_BAD_PARAMS;
    }
    uint32_t result = SendFrame(session, command, payloadLength, payload);
    uint32_t status = 0;
    if (result == SUCCESS) {
        result = WaitForReplyHead(session, command, timeoutMs, &status);
    }
    if (result == SUCCESS && status == kAccepted) {
        result = ReadReplyData(session, minReply, maxReply, reply);
    }
    if (result != SUCCESS) {
        return result;
    }
    uint32_t tail = 0;
    if (!ReadWord(session, &tail) || tail != kReplyTail) {
        return ERR_PROTOCOL;
    }
    return status == kAccepted ? SUCCESS : ERR_CMD_FAILED;
}

uint32_t BLSync(Session* session) {
    uint8_t request[4];
    PutLe32(request, kSyncRequest);
    for (uint32_t attempt = 0; attempt < kSyncAttempts; ++attempt) {
        uint32_t written = 0;
        if (ComWrite(session, session->currentPort, request, 4, &written) == 0 || written != 4) {
            LogLine(session, "Failed to send PC_SYNC");
            return ERR_PROTOCOL;
        }
        const uint32_t result = WaitFor4CC(session, kSyncAnswer, kSyncTimeoutMs);
        if (result == SUCCESS) {
            LogLine(session, "sync'ed");
            return SUCCESS;
        }
        if (result == ERR_ABORT) {
            return result;
        }
    }
    LogLine(session, "Failed to sync");
    return ERR_TIMEOUT;
}
