// A host for tests: records every callback with the thread it ran on, and
// can ask for an abort after a number of polls.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "flashdll/flashdll.h"

namespace testing_support {

enum class HostEventKind { Message, Status, ProgressBegin, Progress, ProgressEnd };

struct HostEvent {
    HostEventKind kind;
    uint32_t a;        // level, total or current
    uint32_t b;        // percent
    std::string text;  // message, status or title
    std::thread::id thread;
};

struct RecordingHost {
    FlashHostDescriptor descriptor = {};  // first: callbacks find the host through it

    // Polls answered before the host asks for an abort; negative: never.
    std::atomic<int> abortAfterPolls{-1};
    std::atomic<int> polls{0};

    RecordingHost();
    // Sets all six callbacks (FlashInit clears them).
    void InstallCallbacks();

    std::vector<HostEvent> Events() const;
    // Texts of OnMessage calls, optionally only of one level.
    std::vector<std::string> Messages(int level = -1) const;
    std::vector<std::string> StatusTexts() const;
    bool HasMessage(const std::string& text, int level = -1) const;
    // Index of the first message equal to `text`, or -1.
    int IndexOfMessage(const std::string& text) const;
    // Index of the first message that contains `fragment`, or -1.
    int IndexOfMessageContaining(const std::string& fragment) const;
    size_t CountMessages(const std::string& text) const;
    void Clear();
    // All messages joined by newlines, for failure output.
    std::string Transcript() const;

    static RecordingHost* From(FlashHostDescriptor* host);
    void Record(HostEventKind kind, uint32_t a, uint32_t b, const char* text);

private:
    mutable std::mutex mutex_;
    std::vector<HostEvent> events_;
};

}  // namespace testing_support
