#include "event.h"

#include <chrono>

#include "flashdll/flashdll.h"

namespace {

std::chrono::steady_clock::time_point g_origin = std::chrono::steady_clock::now();

constexpr const char* kKindNames[] = {"message", "status", "progress_begin", "progress", "progress_end",
                                      "summary", "result"};

}  // namespace

void StartClock() { g_origin = std::chrono::steady_clock::now(); }

double SecondsSinceStart() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - g_origin).count();
}

const char* EventKindName(EventKind kind) { return kKindNames[static_cast<int>(kind)]; }

bool EventKindFromName(const std::string& name, EventKind* kind) {
    for (size_t i = 0; i < sizeof kKindNames / sizeof kKindNames[0]; ++i) {
        if (name == kKindNames[i]) {
            *kind = static_cast<EventKind>(i);
            return true;
        }
    }
    return false;
}

Event MakeEvent(EventKind kind, double t) {
    Event event;
    event.kind = kind;
    event.t = t;
    return event;
}

Event MessageEvent(double t, uint32_t level, const std::string& text) {
    Event event = MakeEvent(EventKind::Message, t);
    event.level = level;
    event.text = text;
    return event;
}

Event ResultEvent(double t, uint32_t code) {
    char name[FLASH_ERROR_NAME_SIZE];
    FlashGetErrorString(code, name);
    Event event = MakeEvent(EventKind::Result, t);
    event.code = code;
    event.text = name;
    return event;
}
