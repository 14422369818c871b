#include "flashdll/image/srec_reader.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "flashdll/image/image_buffer.h"
#include "flashdll/image/ranges.h"
#include "flashdll/image/image_file_job.h"
#include "flashdll/report/errors.h"
#include "flashdll/report/notify.h"

// The file is read in large blocks and split into lines here, with the same
// line rule as a 128-byte fgets buffer: a line holds at most 127 characters
// (its line feed included); the rest of a longer line comes as the next line.
// A carriage return right before the line feed takes no room, so CR LF files
// read like LF files. Records are decoded in place with a lookup table.

namespace {

constexpr size_t kReadBlockBytes = 1u << 20;
constexpr size_t kLineRoom = 127;
constexpr uint32_t kProgressReports = 200;
constexpr uint32_t kMaxRecordBytes = 255;  // largest byte count of a record
constexpr uint8_t kNotHex = 0x80;          // marks a non-hex character in the table

struct HexDigits {
    uint8_t value[256];
    constexpr HexDigits() : value() {
        for (int c = 0; c < 256; ++c) {
            value[c] = kNotHex;
        }
        for (int d = 0; d < 10; ++d) {
            value['0' + d] = static_cast<uint8_t>(d);
        }
        for (int d = 0; d < 6; ++d) {
            value['A' + d] = static_cast<uint8_t>(10 + d);
            value['a' + d] = static_cast<uint8_t>(10 + d);
        }
    }
};
constexpr HexDigits kHex;

struct LineSource {
    std::FILE* file;
    char* block;  // kReadBlockBytes
    size_t begin;
    size_t end;
    bool atEnd;
    bool failed;  // a read error, not just the end of the file
};

// Moves the unread tail to the front and fills the block behind it.
void Refill(LineSource* source) {
    const size_t kept = source->end - source->begin;
    std::memmove(source->block, source->block + source->begin, kept);
    source->begin = 0;
    source->end = kept;
    while (source->end < kReadBlockBytes && !source->atEnd) {
        const size_t got = std::fread(source->block + source->end, 1, kReadBlockBytes - source->end, source->file);
        source->end += got;
        if (got == 0) {
            source->atEnd = true;
            source->failed = std::ferror(source->file) != 0;
        }
    }
}

struct Line {
    const char* text;
    size_t length;      // characters consumed from the file
    size_t textLength;  // the length a text-mode reader would see (no CR before LF)
};

// Refills the block while less than a whole line's room is left unread and
// the file has more.
void KeepLineRoom(LineSource* source) {
    if (source->end - source->begin <= kLineRoom && !source->atEnd) {
        Refill(source);
    }
}

// The line at the front of `text` (`available` bytes, at least one): up to
// and with its line feed when that fits the line room, or the line room's
// worth of characters when it does not.
Line CutLine(const char* text, size_t available) {
    const size_t window = available < kLineRoom + 1 ? available : kLineRoom + 1;
    const size_t roomful = window < kLineRoom ? window : kLineRoom;
    const char* feed = static_cast<const char*>(std::memchr(text, '\n', window));
    if (feed != nullptr) {
        const size_t withFeed = static_cast<size_t>(feed - text) + 1;
        const size_t carriageReturn = withFeed >= 2 && feed[-1] == '\r' ? 1 : 0;
        if (withFeed - carriageReturn <= kLineRoom) {
            return Line{text, withFeed, withFeed - carriageReturn};
        }
    }
    return Line{text, roomful, roomful};
}

bool NextLine(LineSource* source, Line* line) {
    KeepLineRoom(source);
    const size_t available = source->end - source->begin;
    if (available == 0) {
        return false;
    }
    *line = CutLine(source->block + source->begin, available);
    source->begin += line->length;
    return true;
}

// What older tools leave behind the last record: blank lines and a Ctrl-Z,
// the old end-of-file mark.
constexpr char kEndOfFileMark = 0x1A;

bool IsTrailer(char c) { return c == '\n' || c == '\r' || c == ' ' || c == '\t' || c == kEndOfFileMark; }

bool LineIsTrailer(const Line& line) {
    for (size_t i = 0; i < line.length; ++i) {
        if (!IsTrailer(line.text[i])) {
            return false;
        }
    }
    return true;
}

// True when nothing but blanks and Ctrl-Z follow up to the end of the file.
// What is looked at is consumed, and lines taken before may have moved: the
// file ends here either way.
bool OnlyTrailerRemains(LineSource* source) {
    for (;;) {
        for (; source->begin < source->end; ++source->begin) {
            if (!IsTrailer(source->block[source->begin])) {
                return false;
            }
        }
        if (source->atEnd) {
            return true;
        }
        Refill(source);
    }
}

// Length of the line without the carriage returns and line feeds at its end.
size_t ContentLength(const Line& line) {
    size_t n = line.length;
    while (n > 0 && (line.text[n - 1] == '\n' || line.text[n - 1] == '\r')) {
        --n;
    }
    return n;
}

struct LoadState {
    const ImageFileJob* job;
    ImageBuffer* buffer;
    const char* path;
    uint32_t areaCount;  // the buffer's count, never above kMaxAreas
    unsigned long lineNumber;
    uint32_t currentArea;
    bool pending;  // a region is open
    FlashRange pendingRegion;
};

// A record decoded from its text: the address bytes, data bytes and checksum
// that its byte count covers.
struct Record {
    uint32_t address;
    uint32_t dataLength;
    uint8_t bytes[kMaxRecordBytes];  // address, data, checksum
    uint32_t addressBytes;
    uint32_t count;
};

uint32_t RefuseRecord(LoadState* state, const char* why) {
    LogLine(state->job->reporter, "SRE line %lu: %s", state->lineNumber, why);
    PostHostMessage(state->job->reporter, FLASH_LEVEL_ERROR, "SRE line %lu: %s is not a valid S-Record file!",
                    state->lineNumber, state->path);
    return ERR_BAD_SREC_FILE;
}

// Decodes `count` bytes from 2 * count hex characters; false on a non-hex one.
bool DecodeBytes(const char* text, uint32_t count, uint8_t* out) {
    uint8_t bad = 0;
    for (uint32_t i = 0; i < count; ++i) {
        const uint8_t high = kHex.value[static_cast<uint8_t>(text[2 * i])];
        const uint8_t low = kHex.value[static_cast<uint8_t>(text[2 * i + 1])];
        bad |= high | low;
        out[i] = static_cast<uint8_t>((high << 4) | (low & 0x0F));
    }
    return (bad & kNotHex) == 0;
}

// Checks a data record's shape and decodes it: the byte count must cover the
// address and checksum, the line must hold every character it promises, and
// every one of them must be a hex digit.
uint32_t ParseDataRecord(LoadState* state, const char* text, size_t length, Record* record) {
    record->addressBytes = static_cast<uint32_t>(text[1] - '0') + 1;
    uint8_t count = 0;
    if (length < 4 || !DecodeBytes(text + 2, 1, &count)) {
        return RefuseRecord(state, "byte count missing or not hexadecimal");
    }
    if (count < record->addressBytes + 1) {
        return RefuseRecord(state, "byte count too small for address and checksum");
    }
    if (length < 4 + 2 * static_cast<size_t>(count)) {
        return RefuseRecord(state, "record shorter than its byte count");
    }
    if (!DecodeBytes(text + 4, count, record->bytes)) {
        return RefuseRecord(state, "non-hexadecimal character in record");
    }
    record->count = count;
    record->dataLength = count - record->addressBytes - 1;
    record->address = 0;
    for (uint32_t i = 0; i < record->addressBytes; ++i) {
        record->address = (record->address << 8) | record->bytes[i];
    }
    return SUCCESS;
}

bool AreaHolds(const MemoryArea& area, uint32_t address) {
    return area.data != nullptr && area.first <= address && address <= area.last;
}

// Finds the area holding the record's first address (the current one first)
// and makes sure every byte of the record lies inside that same area.
uint32_t CheckAddress(LoadState* state, const Record& record) {
    const ImageBuffer* buffer = state->buffer;
    if (state->currentArea >= state->areaCount || !AreaHolds(buffer->areas[state->currentArea], record.address)) {
        uint32_t found = kNoArea;
        for (uint32_t i = 0; i < state->areaCount && found == kNoArea; ++i) {
            if (AreaHolds(buffer->areas[i], record.address)) {
                found = i;
            }
        }
        if (found == kNoArea) {
            PostHostMessage(state->job->reporter, FLASH_LEVEL_ERROR, "SRE line %lu: Address outside buffers ! 0x%08lx",
                            state->lineNumber, static_cast<unsigned long>(record.address));
            return ERR_BAD_SREC_ADDR;
        }
        state->currentArea = found;
    }
    const MemoryArea& area = buffer->areas[state->currentArea];
    const uint64_t last = static_cast<uint64_t>(record.address) + record.dataLength - 1;
    if (last > area.last) {
        // Name the first byte of the record that the area cannot hold.
        PostHostMessage(state->job->reporter, FLASH_LEVEL_ERROR, "SRE line %lu: Address outside buffers ! 0x%08lx",
                        state->lineNumber, static_cast<unsigned long>(static_cast<uint32_t>(area.last + 1u)));
        return ERR_BAD_SREC_ADDR;
    }
    return SUCCESS;
}

// Adds a closed region to the list; an overlap with its neighbour is an error.
uint32_t CloseRegion(LoadState* state, FlashRange region) {
    ImageBuffer* buffer = state->buffer;
    const uint32_t i = AddRegion(buffer, region.first, region.last);
    if (i == 0) {
        return SUCCESS;
    }
    const FlashRange& a = buffer->regions[i - 1];
    const FlashRange& b = buffer->regions[i];
    PostHostMessage(state->job->reporter, FLASH_LEVEL_ERROR,
                    "SRE line %lu: Overlapping address ranges: 0x%08lx-0x%08lx, 0x%08lx-0x%08lx!", state->lineNumber,
                    static_cast<unsigned long>(a.first), static_cast<unsigned long>(a.last),
                    static_cast<unsigned long>(b.first), static_cast<unsigned long>(b.last));
    return ERR_BAD_SREC_ADDR;
}

// Keeps one pending region that grows while records follow each other; any
// other record closes it into the region list.
uint32_t TrackRegion(LoadState* state, FlashRange range) {
    if (state->pending && static_cast<uint64_t>(state->pendingRegion.last) + 1 == range.first) {
        state->pendingRegion.last = range.last;
        return SUCCESS;
    }
    if (state->pending) {
        const uint32_t result = CloseRegion(state, state->pendingRegion);
        if (result != SUCCESS) {
            return result;
        }
    }
    state->pending = true;
    state->pendingRegion = range;
    return state->buffer->regionCount >= kMaxRegions ? ERR_TOO_MANY_RANGES : SUCCESS;
}

uint32_t StoreDataRecord(LoadState* state, const Record& record) {
    if (record.dataLength > 0) {
        uint32_t result = CheckAddress(state, record);
        if (result == SUCCESS) {
            result = TrackRegion(state, FlashRange{record.address, record.address + record.dataLength - 1});
        }
        if (result != SUCCESS) {
            return result;
        }
        const MemoryArea& area = state->buffer->areas[state->currentArea];
        std::memcpy(area.data + (record.address - area.first), record.bytes + record.addressBytes,
                    record.dataLength);
    }
    // The sum covers the byte count and all four address bytes; the upper
    // ones are zero for short addresses, so summing the decoded bytes is the same.
    uint32_t sum = record.count;
    for (uint32_t i = 0; i + 1 < record.count; ++i) {
        sum += record.bytes[i];
    }
    if (static_cast<uint8_t>(~sum) != record.bytes[record.count - 1]) {
        PostHostMessage(state->job->reporter, FLASH_LEVEL_ERROR, "SRE line %lu: Checksum mismatch in S-record file",
                        state->lineNumber);
        return ERR_BAD_SREC_CHECKSUM;
    }
    return SUCCESS;
}

uint32_t RefuseLine(LoadState* state) {
    PostHostMessage(state->job->reporter, FLASH_LEVEL_ERROR, "SRE line %lu: %s is not a valid S-Record file!",
                    state->lineNumber, state->path);
    return ERR_BAD_SREC_FILE;
}

uint32_t ProcessLine(LoadState* state, const Line& line) {
    const size_t length = ContentLength(line);
    if (length == 0 || line.text[0] != 'S') {
        return RefuseLine(state);
    }
    const char type = length > 1 ? line.text[1] : '\0';
    if (type < '1' || type > '3') {
        char text[kLineRoom + 1];
        std::memcpy(text, line.text, length);
        text[length] = '\0';
        PostHostMessage(state->job->reporter, FLASH_LEVEL_INFO, "SRE line %lu: IGNORING: %s", state->lineNumber, text);
        return SUCCESS;
    }
    Record record;
    const uint32_t result = ParseDataRecord(state, line.text, length, &record);
    return result != SUCCESS ? result : StoreDataRecord(state, record);
}

struct Progress {
    uint32_t step;
    uint64_t mark;
    uint64_t position;
};

uint32_t ReadLines(LoadState* state, LineSource* source, uint32_t fileSize) {
    Progress progress = {fileSize / kProgressReports, 0, 0};
    Line line;
    uint32_t result = SUCCESS;
    while (result == SUCCESS && NextLine(source, &line)) {
        ++state->lineNumber;
        if (StopRequested(*state->job)) {
            return ERR_ABORT;
        }
        progress.position += line.textLength + 1;
        if (progress.position > progress.mark) {
            ProgressUpdate(state->job->reporter, static_cast<uint32_t>(progress.position));
            progress.mark += progress.step;
        }
        if (LineIsTrailer(line)) {
            // Blank lines and a Ctrl-Z may end the file; before a record they are an error.
            if (!OnlyTrailerRemains(source)) {
                result = RefuseLine(state);
            }
            break;
        }
        result = ProcessLine(state, line);
    }
    if (result == SUCCESS && source->failed) {
        PostHostMessage(state->job->reporter, FLASH_LEVEL_ERROR, "Error: Unable to read file \"%s\"", state->path);
        return ERR_FILEIO;
    }
    if (result == SUCCESS && state->pending) {
        result = CloseRegion(state, state->pendingRegion);
    }
    return result;
}

void ListRegions(const ImageFileJob& job, const ImageBuffer* buffer) {
    if (buffer->regionCount == 1) {
        PostHostMessage(job.reporter, FLASH_LEVEL_INFO, "There is 1 memory region in the S-record file:");
    } else {
        PostHostMessage(job.reporter, FLASH_LEVEL_INFO, "There are %u memory regions in the S-record file:",
                        buffer->regionCount);
    }
    for (uint32_t i = 0; i < buffer->regionCount; ++i) {
        const FlashRange& region = buffer->regions[i];
        PostHostMessage(job.reporter, FLASH_LEVEL_INFO, "%2d: 0x%08lx - 0x%08lx = %10lu Bytes", static_cast<int>(i + 1),
                        static_cast<unsigned long>(region.first), static_cast<unsigned long>(region.last),
                        static_cast<unsigned long>(region.last - region.first + 1));
    }
}

uint32_t CheckReserved(const ImageFileJob& job, const ImageBuffer* buffer) {
    const FlashLoadOptions& options = *job.options;
    const uint32_t reservedCount = options.reservedcount < FLASH_MAX_RANGES ? options.reservedcount : FLASH_MAX_RANGES;
    for (uint32_t r = 0; r < reservedCount; ++r) {
        const FlashRange& reserved = options.reserved[r];
        for (uint32_t i = 0; i < buffer->regionCount; ++i) {
            const FlashRange& region = buffer->regions[i];
            if (RangesOverlap(reserved.first, reserved.last, region.first, region.last)) {
                PostHostMessage(job.reporter, FLASH_LEVEL_ERROR,
                                "Attempt to write to reserved region 0x%lx - 0x%lx (0x%lx - 0x%lx)",
                                static_cast<unsigned long>(reserved.first), static_cast<unsigned long>(reserved.last),
                                static_cast<unsigned long>(region.first), static_cast<unsigned long>(region.last));
                return ERR_BAD_SREC_ADDR;
            }
        }
    }
    return SUCCESS;
}

uint32_t FileSize(std::FILE* file) {
    long size = -1;
    if (std::fseek(file, 0, SEEK_END) == 0) {
        size = std::ftell(file);
    }
    std::rewind(file);
    if (size < 0) {
        return 0;
    }
    return static_cast<unsigned long>(size) > 0xFFFFFFFFul ? 0xFFFFFFFFu : static_cast<uint32_t>(size);
}

void FillAreas(ImageBuffer* buffer) {
    for (uint32_t i = 0; i < buffer->areaCount && i < kMaxAreas; ++i) {
        MemoryArea& area = buffer->areas[i];
        if (area.data != nullptr) {
            std::memset(area.data, 0xFF, static_cast<size_t>(area.last - area.first) + 1);
        }
    }
}

uint32_t LoadOpenFile(const ImageFileJob& job, ImageBuffer* buffer, const char* path, std::FILE* file, uint32_t fileSize) {
    std::unique_ptr<char[]> block(new (std::nothrow) char[kReadBlockBytes]);
    if (!block) {
        return ERR_NOMEM;
    }
    FillAreas(buffer);
    LineSource source = {file, block.get(), 0, 0, false, false};
    const uint32_t areaCount = buffer->areaCount < kMaxAreas ? buffer->areaCount : kMaxAreas;
    LoadState state = {&job, buffer, path, areaCount, 0, 0, false, {0, 0}};
    uint32_t result = ReadLines(&state, &source, fileSize);
    if (result == SUCCESS) {
        ListRegions(job, buffer);
    }
    return result;
}

}  // namespace

uint32_t LoadSRecordFile(const ImageFileJob& job, ImageBuffer* buffer, const char* path, int rangeCheck) {
    buffer->regionCount = 0;
    PostHostMessage(job.reporter, FLASH_LEVEL_INFO, "Loading S-record file (RangeCheck=%s)", rangeCheck ? "On" : "Off");
    PostHostMessage(job.reporter, FLASH_LEVEL_INFO, "File: %s", path);
    // Binary mode: line ends are handled while splitting lines, the same on
    // every platform.
    std::FILE* file = std::fopen(path, "rb");
    if (file == nullptr) {
        PostHostMessage(job.reporter, FLASH_LEVEL_WARNING, "Error: Unable to open file \"%s\"", path);
        return ERR_FILEIO;
    }
    const uint32_t fileSize = FileSize(file);
    ProgressBegin(job.reporter, "Loading S-Record File ...", fileSize);
    uint32_t result = LoadOpenFile(job, buffer, path, file, fileSize);
    if (result == SUCCESS && rangeCheck) {
        result = CheckReserved(job, buffer);
    }
    ProgressUpdate(job.reporter, fileSize);
    ProgressEnd(job.reporter);
    std::fclose(file);
    return result;
}

uint32_t HexValue(const char* text, uint32_t n) {
    uint32_t value = 0;
    for (uint32_t i = 0; i < n; ++i) {
        const uint8_t digit = kHex.value[static_cast<uint8_t>(text[i])];
        value = (value << 4) + (digit == kNotHex ? 0 : digit);
    }
    return value;
}
