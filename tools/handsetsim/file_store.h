// Files the flash loader wrote into the handset's file systems (FFS files
// are known by owner and file id, CFS and FDI files by name). They outlive a
// job and a reset; with a folder, every closed file is also written below
// it, one sub-folder per file system.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/handsetsim/handsetsim.h"

namespace handsetsim {

constexpr uint32_t kFsFfs = 1, kFsCfs = 2, kFsFdi = 3;

struct FileKey {
    uint32_t fsType = 0;
    uint32_t ownerId = 0, fileId = 0;  // FFS
    std::string name;                  // CFS, FDI
};

class FileStore {
public:
    void SetFolder(const std::string& folder) { folder_ = folder; }

    // Creates the file, or empties it when it exists; returns its index,
    // which stays valid until Format.
    size_t Open(const FileKey& key);
    StoredFile& At(size_t index) { return files_.at(index); }
    const StoredFile* Find(const FileKey& key) const;
    // Forgets every file of one file system.
    void Format(uint32_t fsType);
    const std::vector<StoredFile>& Files() const { return files_; }

    // Writes the file below the folder (nothing to do without a folder).
    bool Save(const StoredFile& file, std::string* error) const;
    // Path of a file below the folder: "FFS/owner_1_file_2", "CFS/name".
    // Names are cut to harmless characters so they stay inside the folder.
    static std::string RelativePath(const StoredFile& file);

private:
    static bool Matches(const StoredFile& file, const FileKey& key);

    std::vector<StoredFile> files_;
    std::string folder_;
};

// "FFS", "CFS", "FDI" or "?".
const char* FsName(uint32_t fsType);

}  // namespace handsetsim
