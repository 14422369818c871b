// A pseudo-terminal pair: the code under test opens the slave by its path, the
// test plays the far end on the master. A slave descriptor of its own keeps the
// master from seeing a hang-up while the code under test closes and reopens the slave.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace testing_support {

class PtyPair {
public:
    PtyPair();  // check Ok() before use
    ~PtyPair();
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    bool Ok() const { return master_ >= 0 && slave_ >= 0; }
    const std::string& SlavePath() const { return slavePath_; }
    int SlaveFd() const { return slave_; }

    // Writes every byte to the master; false when the master refuses.
    bool Send(const void* data, size_t length);
    bool Send(const std::string& text) { return Send(text.data(), text.size()); }
    bool Send(const std::vector<uint8_t>& bytes) { return Send(bytes.data(), bytes.size()); }
    // Reads from the master until `length` bytes came or nothing came for
    // `quietMs`; with the default length, everything until the line is quiet.
    std::vector<uint8_t> Receive(size_t length = SIZE_MAX, int quietMs = 30);
    // Closes the master: the far end hangs up.
    void CloseMaster();

private:
    int master_ = -1;
    int slave_ = -1;
    std::string slavePath_;
};

}  // namespace testing_support
