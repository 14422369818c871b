#include "tools/handsetsim/file_store.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>

#include <sys/stat.h>

namespace handsetsim {

namespace {

bool SafeChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           c == '.' || c == '_' || c == '-';
}

// Keeps names to one harmless path component: no separators, no "..", no
// hidden files, nothing empty.
std::string SafeName(const std::string& name) {
    std::string safe;
    for (char c : name) {
        safe += SafeChar(c) ? c : '_';
    }
    if (safe.empty() || safe[0] == '.') {
        safe = "_" + safe;
    }
    return safe;
}

bool MakeFolder(const std::string& path, std::string* error) {
    if (mkdir(path.c_str(), 0777) == 0 || errno == EEXIST) {
        return true;
    }
    *error = path + ": " + std::strerror(errno);
    return false;
}

}  // namespace

const char* FsName(uint32_t fsType) {
    switch (fsType) {
        case kFsFfs: return "FFS";
        case kFsCfs: return "CFS";
        case kFsFdi: return "FDI";
        default: return "?";
    }
}

bool FileStore::Matches(const StoredFile& file, const FileKey& key) {
    if (file.fsType != key.fsType) {
        return false;
    }
    if (key.fsType == kFsFfs) {
        return file.ownerId == key.ownerId && file.fileId == key.fileId;
    }
    return file.name == key.name;
}

size_t FileStore::Open(const FileKey& key) {
    for (size_t i = 0; i < files_.size(); ++i) {
        if (Matches(files_[i], key)) {
            files_[i].data.clear();
            files_[i].closed = false;
            return i;
        }
    }
    files_.push_back(StoredFile{key.fsType, key.ownerId, key.fileId, key.name, {}, false});
    return files_.size() - 1;
}

const StoredFile* FileStore::Find(const FileKey& key) const {
    for (const StoredFile& file : files_) {
        if (Matches(file, key)) {
            return &file;
        }
    }
    return nullptr;
}

void FileStore::Format(uint32_t fsType) {
    files_.erase(std::remove_if(files_.begin(), files_.end(),
                                [fsType](const StoredFile& f) { return f.fsType == fsType; }),
                 files_.end());
}

std::string FileStore::RelativePath(const StoredFile& file) {
    std::string folder = FsName(file.fsType);
    if (file.fsType == kFsFfs) {
        return folder + "/owner_" + std::to_string(file.ownerId) + "_file_" +
               std::to_string(file.fileId);
    }
    return folder + "/" + SafeName(file.name);
}

bool FileStore::Save(const StoredFile& file, std::string* error) const {
    if (folder_.empty()) {
        return true;
    }
    if (!MakeFolder(folder_, error) || !MakeFolder(folder_ + "/" + FsName(file.fsType), error)) {
        return false;
    }
    std::string path = folder_ + "/" + RelativePath(file);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(file.data.data()),
              static_cast<std::streamsize>(file.data.size()));
    out.close();
    if (!out) {
        *error = path + ": cannot write";
        return false;
    }
    return true;
}

}  // namespace handsetsim
