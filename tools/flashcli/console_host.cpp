#include "console_host.h"

#include <string>
#include <type_traits>

// Callbacks find the host from the descriptor, its first member.
static_assert(std::is_standard_layout<ConsoleHost>::value, "descriptor shares the host's address");

namespace {

constexpr int kBarWidth = 40;

ConsoleHost* From(FlashHostDescriptor* descriptor) {
    return reinterpret_cast<ConsoleHost*>(descriptor);
}

// Ends an open bar so that the next text starts on a line of its own.
void CloseBarLocked(ConsoleHost* host) {
    if (host->barOpen) {
        std::fputc('\n', host->out);
        host->barOpen = false;
    }
}

void PrintLine(ConsoleHost* host, const char* prefix, const char* text) {
    std::lock_guard<std::mutex> guard(host->lock);
    CloseBarLocked(host);
    std::fprintf(host->out, "%s%s\n", prefix, text);
    std::fflush(host->out);
}

void DrawBar(ConsoleHost* host, int percent) {
    const int filled = percent * kBarWidth / 100;
    const std::string bar = std::string(filled, '#') + std::string(kBarWidth - filled, '-');
    std::fprintf(host->out, "\r%s [%s] %3d%%", host->title.c_str(), bar.c_str(), percent);
    host->barOpen = true;
}

// Shows `percent` unless it is what is shown already.
void ShowProgressLocked(ConsoleHost* host, int percent) {
    percent = percent < 0 ? 0 : (percent > 100 ? 100 : percent);
    if (percent == host->lastPercent) {
        return;
    }
    host->lastPercent = percent;
    if (host->terminal) {
        DrawBar(host, percent);
    } else {
        std::fprintf(host->out, "progress: %s %d%%\n", host->title.c_str(), percent);
    }
    std::fflush(host->out);
}

void OnMessage(FlashHostDescriptor* descriptor, uint32_t level, const char* text) {
    const char* prefix = level == FLASH_LEVEL_ERROR ? "error: " : level == FLASH_LEVEL_WARNING ? "warning: " : "";
    PrintLine(From(descriptor), prefix, text);
}

void OnStatusText(FlashHostDescriptor* descriptor, const char* text) {
    PrintLine(From(descriptor), "status: ", text);
}

void OnProgressBegin(FlashHostDescriptor* descriptor, const char* title, uint32_t) {
    ConsoleHost* host = From(descriptor);
    std::lock_guard<std::mutex> guard(host->lock);
    CloseBarLocked(host);
    host->title = title != nullptr ? title : "";
    host->lastPercent = -1;
    ShowProgressLocked(host, 0);
}

void OnProgressUpdate(FlashHostDescriptor* descriptor, uint32_t, uint32_t percent) {
    ConsoleHost* host = From(descriptor);
    std::lock_guard<std::mutex> guard(host->lock);
    ShowProgressLocked(host, percent > 100 ? 100 : static_cast<int>(percent));
}

void OnProgressEnd(FlashHostDescriptor* descriptor) {
    ConsoleHost* host = From(descriptor);
    std::lock_guard<std::mutex> guard(host->lock);
    CloseBarLocked(host);
    std::fflush(host->out);
    host->lastPercent = -1;
}

int32_t OnPollAbort(FlashHostDescriptor* descriptor) {
    const ConsoleHost* host = From(descriptor);
    return host->abortRequested != nullptr && host->abortRequested->load() != 0 ? 1 : 0;
}

}  // namespace

void ConsoleHostSetUp(ConsoleHost* host, std::FILE* out, bool terminal, const std::atomic<int>* abortRequested) {
    host->descriptor.size = sizeof(FlashHostDescriptor);
    host->out = out;
    host->terminal = terminal;
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

void ConsoleHostClose(ConsoleHost* host) {
    std::lock_guard<std::mutex> guard(host->lock);
    CloseBarLocked(host);
    std::fflush(host->out);
}
