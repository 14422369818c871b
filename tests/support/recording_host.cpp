#include "support/recording_host.h"

#include <algorithm>

namespace testing_support {

namespace {

void OnProgressBegin(FlashHostDescriptor* host, const char* title, uint32_t total) {
    RecordingHost::From(host)->Record(HostEventKind::ProgressBegin, total, 0, title);
}
void OnProgressUpdate(FlashHostDescriptor* host, uint32_t current, uint32_t percent) {
    RecordingHost::From(host)->Record(HostEventKind::Progress, current, percent, "");
}
void OnProgressEnd(FlashHostDescriptor* host) {
    RecordingHost::From(host)->Record(HostEventKind::ProgressEnd, 0, 0, "");
}
void OnStatusText(FlashHostDescriptor* host, const char* text) {
    RecordingHost::From(host)->Record(HostEventKind::Status, 0, 0, text);
}
void OnMessage(FlashHostDescriptor* host, uint32_t level, const char* text) {
    RecordingHost::From(host)->Record(HostEventKind::Message, level, 0, text);
}
int32_t OnPollAbort(FlashHostDescriptor* host) {
    RecordingHost* self = RecordingHost::From(host);
    const int limit = self->abortAfterPolls.load();
    const int polls = ++self->polls;
    return limit >= 0 && polls > limit ? 1 : 0;
}

}  // namespace

RecordingHost::RecordingHost() { descriptor.size = sizeof(FlashHostDescriptor); }

void RecordingHost::InstallCallbacks() {
    descriptor.OnProgressBegin = OnProgressBegin;
    descriptor.OnProgressUpdate = OnProgressUpdate;
    descriptor.OnProgressEnd = OnProgressEnd;
    descriptor.OnStatusText = OnStatusText;
    descriptor.OnMessage = OnMessage;
    descriptor.OnPollAbort = OnPollAbort;
}

RecordingHost* RecordingHost::From(FlashHostDescriptor* host) {
    // The descriptor is the first member, so its address is the host's.
    return reinterpret_cast<RecordingHost*>(host);
}

void RecordingHost::Record(HostEventKind kind, uint32_t a, uint32_t b, const char* text) {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.push_back({kind, a, b, text != nullptr ? text : "", std::this_thread::get_id()});
}

std::vector<HostEvent> RecordingHost::Events() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
}

std::vector<std::string> RecordingHost::Messages(int level) const {
    std::vector<std::string> texts;
    for (const HostEvent& event : Events()) {
        if (event.kind == HostEventKind::Message && (level < 0 || event.a == static_cast<uint32_t>(level))) {
            texts.push_back(event.text);
        }
    }
    return texts;
}

std::vector<std::string> RecordingHost::StatusTexts() const {
    std::vector<std::string> texts;
    for (const HostEvent& event : Events()) {
        if (event.kind == HostEventKind::Status) texts.push_back(event.text);
    }
    return texts;
}

bool RecordingHost::HasMessage(const std::string& text, int level) const {
    const std::vector<std::string> texts = Messages(level);
    return std::find(texts.begin(), texts.end(), text) != texts.end();
}

int RecordingHost::IndexOfMessage(const std::string& text) const {
    const std::vector<std::string> texts = Messages();
    const auto it = std::find(texts.begin(), texts.end(), text);
    return it == texts.end() ? -1 : static_cast<int>(it - texts.begin());
}

int RecordingHost::IndexOfMessageContaining(const std::string& fragment) const {
    const std::vector<std::string> texts = Messages();
    for (size_t i = 0; i < texts.size(); ++i) {
        if (texts[i].find(fragment) != std::string::npos) return static_cast<int>(i);
    }
    return -1;
}

size_t RecordingHost::CountMessages(const std::string& text) const {
    const std::vector<std::string> texts = Messages();
    return static_cast<size_t>(std::count(texts.begin(), texts.end(), text));
}

void RecordingHost::Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.clear();
}

std::string RecordingHost::Transcript() const {
    std::string all;
    for (const HostEvent& event : Events()) {
        if (event.kind == HostEventKind::Message) {
            all += "[" + std::to_string(event.a) + "] " + event.text + "\n";
        } else if (event.kind == HostEventKind::Status) {
            all += "status: " + event.text + "\n";
        }
    }
    return all;
}

}  // namespace testing_support
