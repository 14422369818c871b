// One command exchange with the flash loader: the command frame out (and,
// for TXDT, the raw data parts behind it), then the reply frame back, with
// any message and dump frames the flash loader sends ahead of its reply.
#include "flashdll/loader/fl_command.h"

#include <cstring>

#include "flashdll/report/errors.h"
#include "flashdll/link/serial.h"
#include "flashdll/link/crc32.h"
#include "flashdll/loader/fl_frames.h"
#include "flashdll/link/le.h"
#include "flashdll/report/notify.h"
#include "flashdll/os/clock.h"
#include "flashdll/session/session.h"

namespace {

constexpr uint32_t kHeaderBytes = 8;          // 4CC and payload length
// Before parts on two ports: the flash loader makes ready to receive on
// both UARTs once it has the frame.
constexpr uint32_t kDataPartsPauseMs = 10;

bool WriteAll(Session* session, uint32_t port, const void* data, uint32_t length) {
    uint32_t written = 0;
    return ComWrite(session, port, data, length, &written) != 0 && written == length;
}

uint32_t SendFrame(Session* session, uint32_t command, uint32_t payloadLength,
                   const void* payload) {
    const uint32_t port = session->currentPort;
    uint8_t header[kHeaderBytes];
    PutLe32(header, command);
    PutLe32(header + 4, payloadLength);
    if (!WriteAll(session, port, header, sizeof header)) {
        LogLine(session, "Failed to send data size");
        return ERR_PROTOCOL;
    }
    if (payloadLength > 0 && !WriteAll(session, port, payload, payloadLength)) {
        LogLine(session, "Failed to send command data");
        return ERR_PROTOCOL;
    }
    // The CRC word goes out with the tail, and only when there is a payload.
    uint8_t tail[8];
    uint32_t tailLength = 0;
    if (payloadLength > 0) {
        PutLe32(tail, Crc32(payload, payloadLength));
        tailLength = 4;
    }
    PutLe32(tail + tailLength, kFlCommandTail);
    tailLength += 4;
    if (!WriteAll(session, port, tail, tailLength)) {
        LogLine(session, "Failed to send cmd tail");
        return ERR_PROTOCOL;
    }
    return SUCCESS;
}

// Parts on two ports wait until the handset has the frame: it must be on
// the line, not still in the driver, and the flash loader needs the pause to
// make ready to receive on both UARTs.
void PauseBeforeTwoParts(Session* session) {
    ComDrain(session, session->currentPort);
    os::SleepMs(kDataPartsPauseMs);
}

// The outcome of these writes is not judged here: a lost or broken transfer
// shows in the flash loader's reply, or in its absence. A single part goes
// out on port 0 with no pause, as it does on a system without overlapped
// I/O (which has port 0 alone).
void SendDataParts(Session* session, const DataParts& parts) {
    const DataPart& first = parts.parts[0];
    if (session->overlappedIo == 0) {
        uint32_t written = 0;
        ComWrite(session, 0, first.data, first.length, &written);
        return;
    }
    const bool twoParts = parts.count > 1;
    if (twoParts) PauseBeforeTwoParts(session);
    const DataPart& second = parts.parts[1];
    ComWriteParts(session, first.data, first.length, twoParts ? second.data : nullptr,
                  twoParts ? second.length : 0);
}

// Waits for "rply", handling message and dump frames on the way; each
// handled frame restarts the full time-out.
uint32_t AwaitReply(Session* session, uint32_t timeoutMs) {
    const uint32_t codes[] = {kFlReply, kFlMessage, kFlDump};
    for (;;) {
        uint32_t found = 0;
        const uint32_t code = WaitFor4CCs(session, 3, codes, timeoutMs, &found);
        if (code != SUCCESS) {
            LogLine(session, "WaitFor4CCs failed: %u", code);
            return code;
        }
        if (found == kFlReply) return SUCCESS;
        const uint32_t handled = found == kFlMessage ? FLHandleMsg(session) : FLHandleDump(session);
        if (handled != SUCCESS) return handled;
    }
}

// The echo of the command and the status code that follows it.
uint32_t AwaitStatus(Session* session, uint32_t command, uint32_t timeoutMs, uint32_t* status) {
    uint32_t code = WaitFor4CC(session, command, timeoutMs);
    if (code != SUCCESS) {
        LogLine(session, "WaitFor4CC(%c%c%c%c) failed: %u", FOURCC_CHARS(command), code);
        return code;
    }
    const uint32_t codes[] = {kFlOk, kFlErr};
    code = WaitFor4CCs(session, 2, codes, timeoutMs, status);
    if (code != SUCCESS) LogLine(session, "WaitFor4CCs failed: %u", code);
    return code;
}

void LogShortRead(Session* session, const char* format, const ReadResult& read, uint32_t asked) {
    LogLine(session, format, static_cast<unsigned>(read.ok != 0 ? 1 : 0),
            static_cast<unsigned long>(asked), static_cast<unsigned long>(read.got));
}

// Reply data of `length` bytes and its CRC word.
uint32_t ReceiveReplyData(Session* session, uint8_t* area, uint32_t length) {
    const ReadResult data = ReadCurrentPort(session, area, length);
    if (!ReadComplete(data, length)) {
        LogShortRead(session, "Failed to fetch msg: %u, %lu != %lu", data, length);
        return ERR_PROTOCOL;
    }
    uint32_t received = 0;
    ReadResult read = {};
    if (!ReadWord(session, &received, &read)) {
        LogShortRead(session, "Failed to fetch CRC: %u, %lu != %lu", read, 4);
        return ERR_PROTOCOL;
    }
    const uint32_t computed = Crc32(area, length);
    if (computed != received) {
        LogLine(session, "CRC mismatch: PC 0x%08lx != Mobile 0x%08lx",
                static_cast<unsigned long>(computed), static_cast<unsigned long>(received));
        return ERR_CRC;
    }
    return SUCCESS;
}

void LogErrorRecord(Session* session, uint32_t command, const uint8_t* record) {
    unsigned long words[5];
    for (uint32_t i = 0; i < 5; ++i) words[i] = GetLe32(record + 4 * i);
    LogLine(session, "Cmd %c%c%c%c FAILED: Err:%lu, %lu=0x%lx, %lu=0x%lx, %lu=0x%lx, %lu=0x%lx",
            FOURCC_CHARS(command), words[0], words[1], words[1], words[2], words[2], words[3],
            words[3], words[4], words[4]);
}

uint32_t ReceiveTail(Session* session) {
    uint32_t tail = 0;
    ReadResult read = {};
    if (!ReadWord(session, &tail, &read)) {
        LogShortRead(session, "Failed to fetch eom: %u, %lu != %lu", read, 4);
        return ERR_PROTOCOL;
    }
    return tail == kFlReplyTail ? SUCCESS : ERR_PROTOCOL;
}

struct ReplyTarget {
    uint32_t expectedLength;
    void* area;
};

// The reply's length word; it must be exactly the one required.
uint32_t ReceiveLength(Session* session, uint32_t required) {
    uint32_t length = 0;
    ReadResult read = {};
    if (!ReadWord(session, &length, &read)) {
        LogShortRead(session, "Failed to fetch msg size: %u, %lu != %lu", read, 4);
        return ERR_PROTOCOL;
    }
    if (length != required) {
        LogLine(session, "Msg size mismatch: %lu != %lu", static_cast<unsigned long>(required),
                static_cast<unsigned long>(length));
        return ERR_PROTOCOL;
    }
    return SUCCESS;
}

// The data of a successful reply, into the caller's area.
uint32_t ReceiveTargetData(Session* session, const ReplyTarget& target) {
    if (target.expectedLength == 0) return SUCCESS;
    return ReceiveReplyData(session, static_cast<uint8_t*>(target.area), target.expectedLength);
}

// The error record of a failed command: logged, and handed to the caller
// when it gave an area.
uint32_t ReceiveErrorRecord(Session* session, uint32_t command, const ReplyTarget& target) {
    uint8_t record[kErrorRecordSize] = {};
    const uint32_t code = ReceiveReplyData(session, record, sizeof record);
    if (code != SUCCESS) return code;
    LogErrorRecord(session, command, record);
    if (target.area != nullptr) std::memcpy(target.area, record, sizeof record);
    return SUCCESS;
}

// Everything after "rply": echo, status, length, data, CRC and tail. Data
// lands in the caller's area only when its length is exactly the one
// required, so a reply can never run past the area.
uint32_t ReceiveReply(Session* session, uint32_t command, const ReplyTarget& target,
                      uint32_t timeoutMs) {
    uint32_t status = 0;
    uint32_t code = AwaitStatus(session, command, timeoutMs, &status);
    if (code != SUCCESS) return code;
    const bool failed = status == kFlErr;
    code = ReceiveLength(session, failed ? kErrorRecordSize : target.expectedLength);
    if (code != SUCCESS) return code;
    code = failed ? ReceiveErrorRecord(session, command, target) : ReceiveTargetData(session, target);
    if (code != SUCCESS) return code;
    code = ReceiveTail(session);
    if (code != SUCCESS) return code;
    return failed ? ERR_CMD_FAILED : SUCCESS;
}

uint32_t Exchange(Session* session, uint32_t command, uint32_t payloadLength, const void* payload,
                  const ReplyTarget& target, uint32_t timeoutMs, const DataParts& parts) {
    uint32_t code = SendFrame(session, command, payloadLength, payload);
    if (code != SUCCESS) return code;
    if (command == kFlSendData) SendDataParts(session, parts);
    code = AwaitReply(session, timeoutMs);
    if (code != SUCCESS) return code;
    return ReceiveReply(session, command, target, timeoutMs);
}

}  // namespace

uint32_t FLSendCmd(Session* session, uint32_t command, uint32_t payloadLength,
                   const void* payload, uint32_t expectedReplyLength, void* reply,
                   uint32_t timeoutMs) {
    if ((payloadLength > 0 && payload == nullptr) || (expectedReplyLength > 0 && reply == nullptr)) {
        LogLine(session, "FLSendCmd(%c%c%c%c): no payload or reply area", FOURCC_CHARS(command));
        return ERR_BAD_PARAMS;
    }
    DataParts parts = {};
    if (command == kFlSendData) {
        const uint32_t code = ResolveDataParts(session, static_cast<const uint8_t*>(payload),
                                               payloadLength, &parts);
        if (code != SUCCESS) return code;
    }
    const uint32_t port = session->currentPort;
    const uint32_t previousTimeoutMs = ComSetTimout(session, port, timeoutMs);
    const uint32_t code = Exchange(session, command, payloadLength, payload,
                                   ReplyTarget{expectedReplyLength, reply}, timeoutMs, parts);
    ComSetTimout(session, port, previousTimeoutMs);
    return code;
}
