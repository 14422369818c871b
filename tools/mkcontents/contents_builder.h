// Builds contents files: the bundles of handset files that a contents load
// writes into the handset's file systems. Valid files for the mkcontents
// tool, and deliberately damaged ones for tests.
//
// File layout (words u32 little-endian): checksum (byte sum of everything
// after it), total size, section count, then the sections back to back.
// A section: tag, length (from its first byte), file count, for FFS two
// volume words and for FDI area start and end, then its file records. A
// record: data size, magic, for FFS owner id (u8 at 8) and file id (u16 at
// 10) and a 256-byte name at 12, for CFS and FDI a 260-byte name at 8; the
// file's data follows the 268-byte head.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace mkcontents {

using Bytes = std::vector<uint8_t>;

constexpr uint32_t kTagFfs = 0x40464653;
constexpr uint32_t kTagCfs = 0x40434653;
constexpr uint32_t kTagFdi = 0x40464449;
constexpr uint32_t kRecordMagic = 0x46494C45;
constexpr uint32_t kRecordHeadBytes = 268;
constexpr uint32_t kFileHeadBytes = 12;
constexpr uint32_t kMaxSections = 4;           // what a reader's table holds
constexpr uint32_t kMaxFilesPerSection = 64;
constexpr size_t kMaxNameLength = 255;         // plus the NUL

enum class SectionKind { kFfs, kCfs, kFdi };

struct ContentsFileEntry {
    uint8_t ownerId = 0;    // FFS only
    uint16_t fileId = 0;    // FFS only
    std::string name;       // a name that fills its whole field is written without a NUL
    Bytes data;
    uint32_t magic = kRecordMagic;  // another value makes a bad record
};

struct ContentsSection {
    SectionKind kind = SectionKind::kCfs;
    uint32_t tag = kTagCfs;         // follows the kind; another value makes a bad section
    uint32_t extra[2] = {0, 0};     // FFS volume words, FDI area start and end
    std::vector<ContentsFileEntry> files;
    int64_t declaredFileCount = -1; // -1: the true count
    int64_t lengthDelta = 0;        // added to the true section length
};

// Deliberate damage to the file head.
struct BuildFaults {
    bool wrongChecksum = false;
    int64_t totalSizeDelta = 0;       // added to the total size word
    int64_t declaredSectionCount = -1;  // -1: the true count
};

// Where the parts of a built file lie.
struct BuiltLayout {
    std::vector<uint32_t> sectionOffsets;
    std::vector<std::vector<uint32_t>> recordOffsets;  // per section
};

class ContentsBuilder {
public:
    ContentsSection& AddFfs(uint32_t volume1, uint32_t volume2);
    ContentsSection& AddCfs();
    ContentsSection& AddFdi(uint32_t areaStart, uint32_t areaEnd);
    // Add a file to the section added last (there must be one).
    ContentsFileEntry& AddFfsFile(uint8_t ownerId, uint16_t fileId, Bytes data, std::string name = "");
    ContentsFileEntry& AddNamedFile(std::string name, Bytes data);

    std::vector<ContentsSection>& Sections() { return sections_; }
    const std::vector<ContentsSection>& Sections() const { return sections_; }

    Bytes Build(const BuildFaults& faults = {}, BuiltLayout* layout = nullptr) const;

private:
    std::vector<ContentsSection> sections_;
};

// The checksum of a file: the byte sum from offset 4 on, wrapping at 32 bits.
uint32_t Checksum(const Bytes& file);
// Rewrites the total size and checksum words after an edit.
void Seal(Bytes& file);
uint32_t GetWord(const Bytes& file, size_t offset);
void PutWord(Bytes& file, size_t offset, uint32_t value);
// Writes the bytes to `path`; false on failure.
bool WriteBytesToFile(const std::string& path, const Bytes& bytes);

}  // namespace mkcontents
