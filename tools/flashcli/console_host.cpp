#include "console_host.h"

#include <type_traits>

// Callbacks find the host from the descriptor, its first member.
static_assert(std::is_standard_layout<ConsoleHost>::value, "descriptor shares the host's address");

namespace {

ConsoleHost* From(FlashHostDescriptor* descriptor) { return reinterpret_cast<ConsoleHost*>(descriptor); }

Event Stamped(EventKind kind) { return MakeEvent(kind, SecondsSinceStart()); }

void OnMessage(FlashHostDescriptor* descriptor, uint32_t level, const char* text) {
    ConsoleHostPost(From(descriptor), MessageEvent(SecondsSinceStart(), level, text != nullptr ? text : ""));
}

void OnStatusText(FlashHostDescriptor* descriptor, const char* text) {
    Event event = Stamped(EventKind::Status);
    event.text = text != nullptr ? text : "";
    ConsoleHostPost(From(descriptor), event);
}

void OnProgressBegin(FlashHostDescriptor* descriptor, const char* title, uint32_t total) {
    Event event = Stamped(EventKind::ProgressBegin);
    event.text = title != nullptr ? title : "";
    event.total = total;
    ConsoleHostPost(From(descriptor), event);
}

void OnProgressUpdate(FlashHostDescriptor* descriptor, uint32_t current, uint32_t percent) {
    Event event = Stamped(EventKind::Progress);
    event.current = current;
    event.percent = percent > 100 ? 100 : percent;
    ConsoleHostPost(From(descriptor), event);
}

void OnProgressEnd(FlashHostDescriptor* descriptor) {
    ConsoleHostPost(From(descriptor), Stamped(EventKind::ProgressEnd));
}

int32_t OnPollAbort(FlashHostDescriptor* descriptor) {
    const ConsoleHost* host = From(descriptor);
    return host->abortRequested != nullptr && host->abortRequested->load() != 0 ? 1 : 0;
}

}  // namespace

void ConsoleHostSetUp(ConsoleHost* host, EventSink sink, const std::atomic<int>* abortRequested) {
    host->descriptor.size = sizeof(FlashHostDescriptor);
    host->sink = sink;
    host->abortRequested = abortRequested;
}

void ConsoleHostInstallCallbacks(ConsoleHost* host) {
    host->descriptor.OnProgressBegin = OnProgressBegin;
    host->descriptor.OnProgressUpdate = OnProgressUpdate;
    host->descriptor.OnProgressEnd = OnProgressEnd;
    host->descriptor.OnStatusText = OnStatusText;
    host->descriptor.OnMessage = OnMessage;
    host->descriptor.OnPollAbort = OnPollAbort;
}

void ConsoleHostPost(ConsoleHost* host, const Event& event) {
    std::lock_guard<std::mutex> guard(host->lock);
    if (host->sink.deliver != nullptr) host->sink.deliver(host->sink.context, event);
}
