#include "contents_builder.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>

namespace mkcontents {

namespace {

constexpr size_t kFfsNameOffset = 12;
constexpr size_t kFfsNameField = 256;
constexpr size_t kNamedNameOffset = 8;
constexpr size_t kNamedNameField = 260;

uint32_t HeadBytes(SectionKind kind) { return kind == SectionKind::kCfs ? 12 : 20; }

void AppendWord(Bytes& out, uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<uint8_t>(value >> shift));
}

void AppendRecord(Bytes& out, SectionKind kind, const ContentsFileEntry& file) {
    const size_t head = out.size();
    out.resize(head + kRecordHeadBytes, 0);
    PutWord(out, head, static_cast<uint32_t>(file.data.size()));
    PutWord(out, head + 4, file.magic);
    size_t nameOffset = kNamedNameOffset;
    size_t nameField = kNamedNameField;
    if (kind == SectionKind::kFfs) {
        out[head + 8] = file.ownerId;
        out[head + 10] = static_cast<uint8_t>(file.fileId);
        out[head + 11] = static_cast<uint8_t>(file.fileId >> 8);
        nameOffset = kFfsNameOffset;
        nameField = kFfsNameField;
    }
    const size_t length = file.name.size() < nameField ? file.name.size() : nameField;
    std::copy(file.name.begin(), file.name.begin() + length, out.begin() + head + nameOffset);
    out.insert(out.end(), file.data.begin(), file.data.end());
}

void AppendSection(Bytes& out, const ContentsSection& section, std::vector<uint32_t>* records) {
    const size_t start = out.size();
    AppendWord(out, section.tag);
    AppendWord(out, 0);  // length, known at the end
    const int64_t count = section.declaredFileCount >= 0 ? section.declaredFileCount
                                                         : static_cast<int64_t>(section.files.size());
    AppendWord(out, static_cast<uint32_t>(count));
    if (HeadBytes(section.kind) == 20) {
        AppendWord(out, section.extra[0]);
        AppendWord(out, section.extra[1]);
    }
    for (const ContentsFileEntry& file : section.files) {
        records->push_back(static_cast<uint32_t>(out.size()));
        AppendRecord(out, section.kind, file);
    }
    PutWord(out, start + 4, static_cast<uint32_t>(static_cast<int64_t>(out.size() - start) + section.lengthDelta));
}

ContentsSection& NewSection(std::vector<ContentsSection>& sections, SectionKind kind, uint32_t tag) {
    sections.emplace_back();
    sections.back().kind = kind;
    sections.back().tag = tag;
    return sections.back();
}

}  // namespace

ContentsSection& ContentsBuilder::AddFfs(uint32_t volume1, uint32_t volume2) {
    ContentsSection& section = NewSection(sections_, SectionKind::kFfs, kTagFfs);
    section.extra[0] = volume1;
    section.extra[1] = volume2;
    return section;
}

ContentsSection& ContentsBuilder::AddCfs() { return NewSection(sections_, SectionKind::kCfs, kTagCfs); }

ContentsSection& ContentsBuilder::AddFdi(uint32_t areaStart, uint32_t areaEnd) {
    ContentsSection& section = NewSection(sections_, SectionKind::kFdi, kTagFdi);
    section.extra[0] = areaStart;
    section.extra[1] = areaEnd;
    return section;
}

ContentsFileEntry& ContentsBuilder::AddFfsFile(uint8_t ownerId, uint16_t fileId, Bytes data, std::string name) {
    if (sections_.empty()) throw std::logic_error("AddFfsFile before any section");
    ContentsFileEntry& file = sections_.back().files.emplace_back();
    file.ownerId = ownerId;
    file.fileId = fileId;
    file.name = std::move(name);
    file.data = std::move(data);
    return file;
}

ContentsFileEntry& ContentsBuilder::AddNamedFile(std::string name, Bytes data) {
    if (sections_.empty()) throw std::logic_error("AddNamedFile before any section");
    ContentsFileEntry& file = sections_.back().files.emplace_back();
    file.name = std::move(name);
    file.data = std::move(data);
    return file;
}

Bytes ContentsBuilder::Build(const BuildFaults& faults, BuiltLayout* layout) const {
    Bytes out;
    AppendWord(out, 0);  // checksum
    AppendWord(out, 0);  // total size
    const int64_t count = faults.declaredSectionCount >= 0 ? faults.declaredSectionCount
                                                           : static_cast<int64_t>(sections_.size());
    AppendWord(out, static_cast<uint32_t>(count));
    BuiltLayout built;
    for (const ContentsSection& section : sections_) {
        built.sectionOffsets.push_back(static_cast<uint32_t>(out.size()));
        built.recordOffsets.emplace_back();
        AppendSection(out, section, &built.recordOffsets.back());
    }
    // A file shorter than the smallest a reader accepts is padded with zeros
    // so that it is refused for its real fault, not for its size.
    if (out.size() < 32) out.resize(32, 0);
    PutWord(out, 4, static_cast<uint32_t>(static_cast<int64_t>(out.size()) + faults.totalSizeDelta));
    PutWord(out, 0, Checksum(out) + (faults.wrongChecksum ? 1 : 0));
    if (layout != nullptr) *layout = std::move(built);
    return out;
}

uint32_t Checksum(const Bytes& file) {
    uint32_t sum = 0;
    for (size_t i = 4; i < file.size(); ++i) sum += file[i];
    return sum;
}

void Seal(Bytes& file) {
    PutWord(file, 4, static_cast<uint32_t>(file.size()));
    PutWord(file, 0, Checksum(file));
}

uint32_t GetWord(const Bytes& file, size_t offset) {
    uint32_t value = 0;
    for (int i = 3; i >= 0; --i) value = value << 8 | file.at(offset + i);
    return value;
}

void PutWord(Bytes& file, size_t offset, uint32_t value) {
    for (int i = 0; i < 4; ++i) file.at(offset + i) = static_cast<uint8_t>(value >> (8 * i));
}

bool WriteBytesToFile(const std::string& path, const Bytes& bytes) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) return false;
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    return std::fclose(file) == 0 && written;
}

}  // namespace mkcontents
