// A temporary directory for one test, removed with everything in it.
#pragma once

#include <string>
#include <vector>

namespace testing_support {

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    // The directory, without a trailing separator.
    const std::string& Path() const { return path_; }
    // Path of `name` inside the directory.
    std::string File(const std::string& name) const;
    // Writes `content` to `name` and returns its path.
    std::string Write(const std::string& name, const std::string& content) const;
    std::string WriteBytes(const std::string& name, const std::vector<unsigned char>& bytes) const;

private:
    std::string path_;
};

// The whole content of a file ("" when it cannot be read).
std::string ReadFileText(const std::string& path);

}  // namespace testing_support
