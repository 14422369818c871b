#include "flashdll/image/srec_writer.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "flashdll/image/image_buffer.h"
#include "flashdll/image/image_file_job.h"
#include "flashdll/report/errors.h"
#include "flashdll/report/notify.h"

// Lines are formatted into one large buffer and written in big chunks; the
// stream is opened in text mode so every line gets the platform's line end.

namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";
constexpr char kHeaderLine[] = "S00600004844521B\n";
constexpr char kTerminationLine[] = "S705A002000058\n";
constexpr uint32_t kMaxLineBytes = 16;
constexpr size_t kLongestLine = 2 + 2 + 8 + 2 * kMaxLineBytes + 2 + 1;
constexpr size_t kOutputBytes = 256u * 1024;

// "00" ... "FF" side by side, so a byte becomes two characters in one copy.
struct HexPairs {
    char text[512];
    constexpr HexPairs() : text() {
        for (int b = 0; b < 256; ++b) {
            text[2 * b] = kHexDigits[b >> 4];
            text[2 * b + 1] = kHexDigits[b & 0x0F];
        }
    }
};
constexpr HexPairs kPairs;

struct Output {
    std::FILE* file;
    char* buffer;  // kOutputBytes
    size_t used;
    bool failed;
    uint32_t unreported;  // data bytes written since the last progress report
};

void Flush(const ImageFileJob& job, Output* out) {
    if (out->used > 0 && !out->failed && std::fwrite(out->buffer, 1, out->used, out->file) != out->used) {
        out->failed = true;
    }
    out->used = 0;
    if (out->unreported > 0) {
        ProgressAdvance(job.reporter, out->unreported);
        out->unreported = 0;
    }
}

void Append(const ImageFileJob& job, Output* out, const char* text, size_t length) {
    if (kOutputBytes - out->used < length) {
        Flush(job, out);
    }
    std::memcpy(out->buffer + out->used, text, length);
    out->used += length;
}

inline char* PutByte(char* at, uint8_t value) {
    std::memcpy(at, kPairs.text + 2 * value, 2);
    return at + 2;
}

// Formats one S3 line of `n` (1 ... 16) bytes at `address` into the buffer.
void AppendDataLine(const ImageFileJob& job, Output* out, uint32_t address, const uint8_t* data, uint32_t n) {
    if (kOutputBytes - out->used < kLongestLine) {
        Flush(job, out);
    }
    char* at = out->buffer + out->used;
    const uint8_t count = static_cast<uint8_t>(n + 5);
    uint32_t sum = count;
    *at++ = 'S';
    *at++ = '3';
    at = PutByte(at, count);
    for (int shift = 24; shift >= 0; shift -= 8) {
        const uint8_t part = static_cast<uint8_t>(address >> shift);
        sum += part;
        at = PutByte(at, part);
    }
    for (uint32_t i = 0; i < n; ++i) {
        sum += data[i];
        at = PutByte(at, data[i]);
    }
    at = PutByte(at, static_cast<uint8_t>(~sum));
    *at++ = '\n';
    out->used = static_cast<size_t>(at - out->buffer);
    out->unreported += n;
}

// The stretch that lines are cut from: it ends at a read range's end or at a
// memory area's end, whichever comes first.
struct Segment {
    uint32_t area;
    uint32_t range;
    uint32_t last;
    bool endsRange;
};

// Index of the first read range holding `address`, or `count` when none does.
uint32_t FindRange(const FlashRange* ranges, uint32_t count, uint32_t address) {
    for (uint32_t i = 0; i < count; ++i) {
        if (ranges[i].first <= address && address <= ranges[i].last) {
            return i;
        }
    }
    return count;
}

// Starts the segment holding `address`; an error code when the address lies
// in no memory area (or one without data) or in no read range.
uint32_t StartSegment(const ImageFileJob& job, const ImageBuffer* buffer, uint32_t address, Segment* segment) {
    const FlashRange* ranges = job.options->read;
    const uint32_t count = job.options->readcount < FLASH_MAX_RANGES ? job.options->readcount : FLASH_MAX_RANGES;
    segment->area = FindArea(buffer, address);
    if (segment->area == kNoArea || buffer->areas[segment->area].data == nullptr) {
        PostHostMessage(job.reporter, FLASH_LEVEL_ERROR, "Error: Address 0x%08lx outside flash memory",
                        static_cast<unsigned long>(address));
        return ERR_RANGE_OUTSIDE_FLASH;
    }
    segment->range = FindRange(ranges, count, address);
    if (segment->range == count) {
        PostHostMessage(job.reporter, FLASH_LEVEL_ERROR, "Error: Address 0x%08lx outside read regions",
                        static_cast<unsigned long>(address));
        return ERR_BAD_PARAMS;
    }
    const uint32_t areaLast = buffer->areas[segment->area].last;
    segment->endsRange = ranges[segment->range].last <= areaLast;
    segment->last = segment->endsRange ? ranges[segment->range].last : areaLast;
    return SUCCESS;
}

struct Walk {
    uint32_t address;
    uint64_t remaining;
    bool needSegment;
    Segment segment;
};

// Goes on at the first address of the read range after the segment's.
uint32_t MoveToNextRange(const ImageFileJob& job, Walk* walk) {
    const uint32_t next = walk->segment.range + 1;
    if (next >= job.options->readcount || next >= FLASH_MAX_RANGES) {
        // Only overlapping read ranges can leave bytes to write here.
        PostHostMessage(job.reporter, FLASH_LEVEL_ERROR, "Error: Address 0x%08lx outside read regions",
                        static_cast<unsigned long>(walk->address));
        return ERR_BAD_PARAMS;
    }
    walk->address = job.options->read[next].first;
    return SUCCESS;
}

// Moves to the segment that the next line comes from; after a segment that
// ended its range, that is the next read range.
uint32_t NextSegment(const ImageFileJob& job, const ImageBuffer* buffer, Walk* walk, bool first) {
    if (!first && walk->segment.endsRange) {
        const uint32_t result = MoveToNextRange(job, walk);
        if (result != SUCCESS) {
            return result;
        }
    }
    walk->needSegment = false;
    return StartSegment(job, buffer, walk->address, &walk->segment);
}

// Data bytes of the next line: at most kMaxLineBytes, and none past the
// segment's end; a line that reaches that end asks for the next segment.
uint32_t NextLineBytes(Walk* walk) {
    uint32_t n = walk->remaining < kMaxLineBytes ? static_cast<uint32_t>(walk->remaining) : kMaxLineBytes;
    if (static_cast<uint64_t>(walk->address) + n > walk->segment.last) {
        n = walk->segment.last - walk->address + 1;
        walk->needSegment = true;
    }
    return n;
}

void WriteNextLine(const ImageFileJob& job, const ImageBuffer* buffer, Output* out, Walk* walk) {
    const uint32_t n = NextLineBytes(walk);
    const MemoryArea& area = buffer->areas[walk->segment.area];
    AppendDataLine(job, out, walk->address, area.data + (walk->address - area.first), n);
    walk->remaining -= n;
    walk->address += n;
}

// Writes every data line; SUCCESS, ERR_ABORT (the termination line is still
// due) or the code of an address that has no data to write.
uint32_t WriteDataLines(const ImageFileJob& job, const ImageBuffer* buffer, Output* out, uint64_t total) {
    Walk walk = {job.options->read[0].first, total, true, {}};
    bool first = true;
    while (walk.remaining > 0 && !out->failed) {
        if (StopRequested(job)) {
            return ERR_ABORT;
        }
        if (walk.needSegment) {
            const uint32_t result = NextSegment(job, buffer, &walk, first);
            if (result != SUCCESS) {
                return result;
            }
            first = false;
        }
        WriteNextLine(job, buffer, out, &walk);
    }
    return SUCCESS;
}

uint64_t TotalReadBytes(const FlashLoadOptions& options) {
    const uint32_t count = options.readcount < FLASH_MAX_RANGES ? options.readcount : FLASH_MAX_RANGES;
    uint64_t total = 0;
    for (uint32_t i = 0; i < count; ++i) {
        total += static_cast<uint64_t>(options.read[i].last) - options.read[i].first + 1;
    }
    return total;
}

// Writes header, data lines and (unless an address was refused) the
// termination line; a failed write or close turns the result into
// ERR_FILEIO, since the file on disk is then incomplete.
uint32_t WriteFile(const ImageFileJob& job, const ImageBuffer* buffer, Output* out, uint64_t total, const char* path) {
    Append(job, out, kHeaderLine, sizeof kHeaderLine - 1);
    uint32_t result = WriteDataLines(job, buffer, out, total);
    if (result == SUCCESS || result == ERR_ABORT) {
        Append(job, out, kTerminationLine, sizeof kTerminationLine - 1);
    }
    Flush(job, out);
    ProgressUpdate(job.reporter, total > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(total));
    // Flushed before the close: some C runtimes report a failed last write
    // from fflush but not from fclose.
    const bool flushFailed = std::fflush(out->file) != 0;
    const bool closeFailed = std::fclose(out->file) != 0 || flushFailed;
    if ((out->failed || closeFailed) && result != ERR_ABORT) {
        PostHostMessage(job.reporter, FLASH_LEVEL_ERROR, "Error: Unable to write file \"%s\"", path);
        result = ERR_FILEIO;
    }
    return result;
}

}  // namespace

uint32_t SaveSRecordFile(const ImageFileJob& job, const ImageBuffer* buffer) {
    char path[sizeof job.options->savefile + 1] = {};
    std::memcpy(path, job.options->savefile, sizeof job.options->savefile);
    const uint64_t total = TotalReadBytes(*job.options);
    PostHostMessage(job.reporter, FLASH_LEVEL_INFO, "Writing S-Record File %s", path);
    std::unique_ptr<char[]> block(new (std::nothrow) char[kOutputBytes]);
    if (!block) {
        return ERR_NOMEM;
    }
    std::FILE* file = std::fopen(path, "w");
    if (file == nullptr) {
        PostHostMessage(job.reporter, FLASH_LEVEL_WARNING, "Error: Unable to open file \"%s\"", path);
        return ERR_WRONG_FILE_SAVE;
    }
    ProgressBegin(job.reporter, "Saving S-Record File ...", total > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(total));
    Output out = {file, block.get(), 0, false, 0};
    const uint32_t result = WriteFile(job, buffer, &out, total, path);
    ProgressEnd(job.reporter);
    return result;
}

void HexByte(uint8_t value, char* out) {
    out[0] = kHexDigits[value >> 4];
    out[1] = kHexDigits[value & 0x0F];
}
