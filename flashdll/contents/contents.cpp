// The contents file: checked whole, held in one block of the session, and
// entered into the contents table of the load's working copy of the options.
//
// Table slot layout (little-endian, packed): type u32, file count u32; for
// FFS and FDI two more words (volume words, or area start and end); then up
// to 64 entries. An FFS entry is 267 bytes (size u32, data offset u32, owner
// u8, file id u16, name 256), a CFS or FDI entry 264 bytes (size u32, data
// offset u32, name 256). The data offset locates the file's bytes in the
// held contents file.
#include "flashdll/contents/contents.h"

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <new>
#include <system_error>

#include "flashdll/link/le.h"
#include "flashdll/report/notify.h"
#include "flashdll/session/session.h"

namespace {

// The file.
constexpr uint32_t kMinFileBytes = 32;
constexpr uint32_t kChecksumOffset = 0;
constexpr uint32_t kTotalSizeOffset = 4;
constexpr uint32_t kSectionCountOffset = 8;
constexpr uint32_t kFirstSectionOffset = 12;
constexpr uint32_t kSectionTagOffset = 0;
constexpr uint32_t kSectionLengthOffset = 4;
constexpr uint32_t kSectionFileCountOffset = 8;
constexpr uint32_t kSectionExtraOffset = 12;
constexpr uint32_t kRecordSizeOffset = 0;
constexpr uint32_t kRecordMagicOffset = 4;
constexpr uint32_t kRecordOwnerOffset = 8;
constexpr uint32_t kRecordFileIdOffset = 10;
constexpr uint32_t kRecordHeadBytes = 268;
constexpr uint32_t kRecordMagic = 0x46494C45;  // "ELIF" on disk

// The table.
constexpr uint32_t kSlotTypeOffset = 0;
constexpr uint32_t kSlotFileCountOffset = 4;
constexpr uint32_t kSlotExtraOffset = 8;
constexpr uint32_t kEntrySizeOffset = 0;
constexpr uint32_t kEntryDataOffset = 4;
constexpr uint32_t kFfsEntryOwnerOffset = 8;
constexpr uint32_t kFfsEntryFileIdOffset = 9;
constexpr uint32_t kFfsEntryNameOffset = 11;
constexpr uint32_t kNamedEntryNameOffset = 8;

const char kCorruptedMessage[] = "The contents file was corrupted.";

struct SectionFormat {
    uint32_t tag;
    uint32_t type;
    uint32_t headBytes;         // section head before the first record
    bool hasExtraWords;
    uint32_t entriesOffset;     // in the table slot
    uint32_t entryBytes;        // in the table slot
    uint32_t recordNameOffset;  // in the file record
};

constexpr SectionFormat kFormats[] = {
    {0x40464653, kFsTypeFfs, 20, true, 16, 267, 12},  // "SFF@"
    {0x40434653, kFsTypeCfs, 12, false, 8, 264, 8},   // "SFC@"
    {0x40464449, kFsTypeFdi, 20, true, 16, 264, 8},   // "IDF@"
};

static_assert(16 + kMaxFilesPerSlot * 267 <= FLASH_CONTENTS_SLOT_SIZE, "FFS slot must fit");
static_assert(8 + kMaxFilesPerSlot * 264 <= FLASH_CONTENTS_SLOT_SIZE, "CFS slot must fit");
static_assert(16 + kMaxFilesPerSlot * 264 <= FLASH_CONTENTS_SLOT_SIZE, "FDI slot must fit");
static_assert(kFfsEntryNameOffset + kContentsNameSize == 267, "FFS entry layout");
static_assert(kNamedEntryNameOffset + kContentsNameSize == 264, "CFS/FDI entry layout");

// How walking a section ended.
enum class SectionResult { kTaken, kCorrupted, kRejected };

const SectionFormat* FormatOfTag(uint32_t tag) {
    for (const SectionFormat& format : kFormats) {
        if (format.tag == tag) return &format;
    }
    return nullptr;
}

const SectionFormat* FormatOfType(uint32_t type) {
    for (const SectionFormat& format : kFormats) {
        if (format.type == type) return &format;
    }
    return nullptr;
}

// Reads the whole file into a new block; false when it cannot be opened,
// read completely, or held (its size must fit a 32-bit word).
bool LoadWholeFile(const char* path, uint8_t** data, uint32_t* size) {
    std::error_code error;
    const uintmax_t bytes = std::filesystem::file_size(path, error);
    if (error || bytes < kMinFileBytes || bytes > 0xFFFFFFFFu) return false;
    std::FILE* file = std::fopen(path, "rb");
    if (file == nullptr) return false;
    uint8_t* block = new (std::nothrow) uint8_t[static_cast<size_t>(bytes)];
    const bool read = block != nullptr && std::fread(block, 1, static_cast<size_t>(bytes), file) == bytes;
    std::fclose(file);
    if (!read) {
        delete[] block;
        return false;
    }
    *data = block;
    *size = static_cast<uint32_t>(bytes);
    return true;
}

// The size word must match the file's size and the checksum word the byte
// sum of everything after it.
bool HeaderMatches(const uint8_t* data, uint32_t size) {
    if (size < kMinFileBytes || GetLe32(data + kTotalSizeOffset) != size) return false;
    uint32_t sum = 0;
    for (uint32_t i = kTotalSizeOffset; i < size; ++i) sum += data[i];
    return GetLe32(data + kChecksumOffset) == sum;
}

void ClearTable(Session* session) { std::memset(session->options.contents, 0, sizeof session->options.contents); }

uint8_t* SlotBytes(Session* session, uint32_t slot) { return session->options.contents[slot]; }

// Enters the file record at offset `record` of the held file into the
// table entry `entry`. The whole record must lie before `sectionEnd`;
// `*next` receives the offset of the record after it.
SectionResult TakeRecord(const HeldContents& held, const SectionFormat& format, uint64_t record,
                         uint64_t sectionEnd, uint8_t* entry, uint64_t* next) {
    if (record + kRecordHeadBytes > sectionEnd) return SectionResult::kCorrupted;
    const uint8_t* head = held.data + record;
    if (GetLe32(head + kRecordMagicOffset) != kRecordMagic) return SectionResult::kRejected;
    const char* name = reinterpret_cast<const char*>(head + format.recordNameOffset);
    if (std::memchr(name, '\0', kContentsNameSize) == nullptr) return SectionResult::kCorrupted;
    const uint32_t dataSize = GetLe32(head + kRecordSizeOffset);
    if (record + kRecordHeadBytes + dataSize > sectionEnd) return SectionResult::kCorrupted;

    PutLe32(entry + kEntrySizeOffset, dataSize);
    PutLe32(entry + kEntryDataOffset, static_cast<uint32_t>(record + kRecordHeadBytes));
    char* entryName = reinterpret_cast<char*>(entry + kNamedEntryNameOffset);
    if (format.type == kFsTypeFfs) {
        entry[kFfsEntryOwnerOffset] = head[kRecordOwnerOffset];
        PutLe16(entry + kFfsEntryFileIdOffset, GetLe16(head + kRecordFileIdOffset));
        entryName = reinterpret_cast<char*>(entry + kFfsEntryNameOffset);
    }
    std::strncpy(entryName, name, kContentsNameSize);
    *next = record + kRecordHeadBytes + dataSize;
    return SectionResult::kTaken;
}

// Enters the section at `offset` into table slot `slot`; `*next` receives
// the offset of the section after it.
SectionResult TakeSection(Session* session, uint32_t slot, uint64_t offset, uint64_t* next) {
    const HeldContents& held = session->contentsFile;
    if (offset + kSectionFileCountOffset > held.size) return SectionResult::kCorrupted;
    const uint8_t* section = held.data + offset;
    const SectionFormat* format = FormatOfTag(GetLe32(section + kSectionTagOffset));
    if (format == nullptr) return SectionResult::kRejected;
    const uint32_t length = GetLe32(section + kSectionLengthOffset);
    if (length < format->headBytes || offset + length > held.size) return SectionResult::kCorrupted;
    const uint32_t fileCount = GetLe32(section + kSectionFileCountOffset);
    if (fileCount > kMaxFilesPerSlot) return SectionResult::kCorrupted;

    uint8_t* slotBytes = SlotBytes(session, slot);
    PutLe32(slotBytes + kSlotTypeOffset, format->type);
    PutLe32(slotBytes + kSlotFileCountOffset, fileCount);
    if (format->hasExtraWords) {
        PutLe32(slotBytes + kSlotExtraOffset, GetLe32(section + kSectionExtraOffset));
        PutLe32(slotBytes + kSlotExtraOffset + 4, GetLe32(section + kSectionExtraOffset + 4));
    }
    uint64_t record = offset + format->headBytes;
    for (uint32_t i = 0; i < fileCount; ++i) {
        uint8_t* entry = slotBytes + format->entriesOffset + i * format->entryBytes;
        const SectionResult result = TakeRecord(held, *format, record, offset + length, entry, &record);
        if (result != SectionResult::kTaken) return result;
    }
    *next = offset + length;
    return SectionResult::kTaken;
}

// Walks the sections into slots 0, 1, ... At most four sections fit the
// table; a file without any section has nothing to download and is refused.
SectionResult TakeSections(Session* session) {
    const uint32_t sectionCount = GetLe32(session->contentsFile.data + kSectionCountOffset);
    if (sectionCount == 0 || sectionCount > FLASH_CONTENTS_SLOTS) return SectionResult::kCorrupted;
    uint64_t offset = kFirstSectionOffset;
    for (uint32_t slot = 0; slot < sectionCount; ++slot) {
        const SectionResult result = TakeSection(session, slot, offset, &offset);
        if (result != SectionResult::kTaken) return result;
    }
    return SectionResult::kTaken;
}

bool RefuseAsCorrupted(Session* session) {
    ReleaseContents(session);
    PostHostMessage(session, FLASH_LEVEL_ERROR, "%s", kCorruptedMessage);
    return false;
}

}  // namespace

bool ReadContents(Session* session) {
    ReleaseContents(session);
    ClearTable(session);
    const char* path = session->options.contentsfile;
    const size_t field = sizeof session->options.contentsfile;
    if (path[0] == '\0') {
        PostHostMessage(session, FLASH_LEVEL_ERROR, "The contents file was not selected.");
        return false;
    }
    std::error_code error;
    if (std::memchr(path, '\0', field) == nullptr || !std::filesystem::exists(path, error)) {
        PostHostMessage(session, FLASH_LEVEL_ERROR, "Not found contents file \"%.*s\".", static_cast<int>(field), path);
        return false;
    }
    HeldContents& held = session->contentsFile;
    if (!LoadWholeFile(path, &held.data, &held.size) || !HeaderMatches(held.data, held.size)) {
        return RefuseAsCorrupted(session);
    }
    const SectionResult result = TakeSections(session);
    if (result == SectionResult::kCorrupted) return RefuseAsCorrupted(session);
    return result == SectionResult::kTaken;
}

void ReleaseContents(Session* session) {
    HeldContents& held = session->contentsFile;
    delete[] held.data;
    held.data = nullptr;
    held.size = 0;
}

const uint8_t* ContentsBuffer(const Session* session, uint32_t* size) {
    if (size != nullptr) *size = session->contentsFile.size;
    return session->contentsFile.data;
}

uint32_t ContentsSectionCount(const Session* session) {
    const HeldContents& held = session->contentsFile;
    if (held.data == nullptr) return 0;
    const uint32_t count = GetLe32(held.data + kSectionCountOffset);
    return count < FLASH_CONTENTS_SLOTS ? count : FLASH_CONTENTS_SLOTS;
}

bool GetContentsSlot(const Session* session, uint32_t slot, ContentsSlotView* view) {
    if (slot >= FLASH_CONTENTS_SLOTS) return false;
    const uint8_t* bytes = session->options.contents[slot];
    view->type = GetLe32(bytes + kSlotTypeOffset);
    view->fileCount = GetLe32(bytes + kSlotFileCountOffset);
    const SectionFormat* format = FormatOfType(view->type);
    const bool extra = format != nullptr && format->hasExtraWords;
    view->extra[0] = extra ? GetLe32(bytes + kSlotExtraOffset) : 0;
    view->extra[1] = extra ? GetLe32(bytes + kSlotExtraOffset + 4) : 0;
    return true;
}

bool GetContentsEntry(const Session* session, uint32_t slot, uint32_t entry, ContentsEntry* out) {
    ContentsSlotView view;
    if (!GetContentsSlot(session, slot, &view)) return false;
    const SectionFormat* format = FormatOfType(view.type);
    if (format == nullptr || entry >= view.fileCount || entry >= kMaxFilesPerSlot) return false;
    const uint8_t* bytes = session->options.contents[slot] + format->entriesOffset + entry * format->entryBytes;
    out->size = GetLe32(bytes + kEntrySizeOffset);
    out->dataOffset = GetLe32(bytes + kEntryDataOffset);
    const bool ffs = format->type == kFsTypeFfs;
    out->ownerId = ffs ? bytes[kFfsEntryOwnerOffset] : 0;
    out->fileId = ffs ? GetLe16(bytes + kFfsEntryFileIdOffset) : 0;
    std::memcpy(out->name, bytes + (ffs ? kFfsEntryNameOffset : kNamedEntryNameOffset), kContentsNameSize);
    out->name[kContentsNameSize - 1] = '\0';
    return true;
}
