// The unsolicited frames of the flash loader: messages (text for the log)
// and dumps (memory contents for the log), read after their 4CC was found.
#include "flashdll/loader/fl_frames.h"

#include "flashdll/report/errors.h"
#include "flashdll/link/serial.h"
#include "flashdll/link/crc32.h"
#include "flashdll/loader/fl_command.h"
#include "flashdll/link/le.h"
#include "flashdll/report/notify.h"
#include "flashdll/session/session.h"

namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

// Reads `length` bytes, then their CRC word, then the frame's tail word.
uint32_t ReadCheckedBody(Session* session, uint8_t* body, uint32_t length, uint32_t tail) {
    if (length > 0 && !ReadComplete(ReadCurrentPort(session, body, length), length)) {
        return ERR_PROTOCOL;
    }
    uint32_t crc = 0;
    if (!ReadWord(session, &crc)) return ERR_PROTOCOL;
    if (crc != Crc32(body, length)) return ERR_CRC;
    uint32_t received = 0;
    if (!ReadWord(session, &received) || received != tail) return ERR_PROTOCOL;
    return SUCCESS;
}

// Length word, text, CRC and tail of a message frame. A text longer than the
// area is refused before any of it is read; the text is always ended by a
// zero byte after its last byte.
uint32_t ReadMessage(Session* session, char* text) {
    uint32_t length = 0;
    if (!ReadWord(session, &length) || length > kMessageTextCapacity) return ERR_PROTOCOL;
    const uint32_t code = ReadCheckedBody(session, reinterpret_cast<uint8_t*>(text), length,
                                          kFlMessageTail);
    text[length] = '\0';
    return code;
}

struct DumpHeader {
    uint32_t first;
    uint32_t second;
    uint32_t length;
};

uint32_t ReadDump(Session* session, DumpHeader* header, uint8_t* data) {
    if (!ReadWord(session, &header->first) || !ReadWord(session, &header->second) ||
        !ReadWord(session, &header->length) || header->length > kDumpDataCapacity) {
        return ERR_PROTOCOL;
    }
    return ReadCheckedBody(session, data, header->length, kFlDumpTail);
}

void LogHexLines(Session* session, const uint8_t* data, uint32_t length) {
    char line[kDumpLineSize];
    for (uint32_t offset = 0; offset < length; offset += kDumpLineBytes) {
        const uint32_t run = length - offset < kDumpLineBytes ? length - offset : kDumpLineBytes;
        LogLine(session, "%s", FormatDumpLine(data + offset, run, line));
    }
}

}  // namespace

ReadResult ReadCurrentPort(Session* session, void* buffer, uint32_t length) {
    ReadResult result = {0, 0};
    result.ok = ComRead(session, session->currentPort, buffer, length, &result.got);
    return result;
}

bool ReadWord(Session* session, uint32_t* value, ReadResult* result) {
    uint8_t bytes[4] = {};
    const ReadResult read = ReadCurrentPort(session, bytes, sizeof bytes);
    if (result != nullptr) *result = read;
    if (!ReadComplete(read, sizeof bytes)) return false;
    *value = GetLe32(bytes);
    return true;
}

const char* FormatDumpLine(const uint8_t* bytes, uint32_t count, char* line) {
    if (count > kDumpLineBytes) count = kDumpLineBytes;
    char* out = line;
    for (uint32_t i = 0; i < count; ++i) {
        *out++ = kHexDigits[bytes[i] >> 4];
        *out++ = kHexDigits[bytes[i] & 0x0F];
        *out++ = ' ';
    }
    *out++ = ' ';
    *out++ = '"';
    for (uint32_t i = 0; i < count; ++i) {
        *out++ = bytes[i] == 0 ? ' ' : static_cast<char>(bytes[i]);
    }
    *out++ = '"';
    *out = '\0';
    return line;
}

uint32_t FLHandleMsg(Session* session) {
    char text[kMessageTextCapacity + 1];
    const uint32_t code = ReadMessage(session, text);
    if (code != SUCCESS) {
        char name[kErrorNameSize];
        LogLine(session, "FLHandleMsg: %s (%u)", ErrorName(code, name), code);
        return code;
    }
    LogLine(session, "MSG: %s", text);
    return SUCCESS;
}

uint32_t FLHandleDump(Session* session) {
    DumpHeader header = {};
    uint8_t data[kDumpDataCapacity];
    const uint32_t code = ReadDump(session, &header, data);
    if (code != SUCCESS) {
        char name[kErrorNameSize];
        LogLine(session, "FLHandleDump: %s (%u)", ErrorName(code, name), code);
        return code;
    }
    LogLine(session, "DUMP: 0x%08lx-0x%08lx", static_cast<unsigned long>(header.first),
            static_cast<unsigned long>(header.second));
    LogHexLines(session, data, header.length);
    return SUCCESS;
}
