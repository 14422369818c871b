#include "progress_bar.h"

#include <cstdio>

namespace {

constexpr unsigned kMaxBarWidth = 40;
constexpr unsigned kMinBarWidth = 10;
// Before this, rate and time left would rest on too little to mean anything.
constexpr double kEstimateAfterSeconds = 0.5;
constexpr double kBytesPerKiB = 1024.0;

std::string Extras(const BarState& bar, uint32_t current, double now) {
    const double elapsed = now - bar.begin;
    if (elapsed < kEstimateAfterSeconds || current == 0 || bar.total <= 1) return "";
    std::string text;
    if (bar.showRate) {
        char rate[32];
        std::snprintf(rate, sizeof rate, "  %.1f KiB/s", current / elapsed / kBytesPerKiB);
        text += rate;
    }
    const double left = current >= bar.total ? 0 : elapsed * (bar.total - current) / current;
    return text + "  " + ClockText(left) + " left";
}

}  // namespace

std::string ClockText(double seconds) {
    const unsigned long whole = seconds > 0 ? static_cast<unsigned long>(seconds + 0.5) : 0;
    char text[32];
    if (whole >= 3600) {
        std::snprintf(text, sizeof text, "%lu:%02lu:%02lu", whole / 3600, whole / 60 % 60, whole % 60);
    } else {
        std::snprintf(text, sizeof text, "%lu:%02lu", whole / 60, whole % 60);
    }
    return text;
}

std::string BarText(const BarState& bar, uint32_t current, uint32_t percent, double now, unsigned columns) {
    char percentText[8];
    std::snprintf(percentText, sizeof percentText, " %3u%%", percent > 100 ? 100 : percent);
    const std::string after = std::string("]") + percentText + Extras(bar, current, now);
    const size_t others = bar.title.size() + 2 + after.size();  // "TITLE [" ... after
    size_t width = kMaxBarWidth;
    if (columns > 0 && others + width + 1 > columns) width = columns > others + 1 ? columns - others - 1 : 0;
    if (width < kMinBarWidth) width = kMinBarWidth;
    const size_t filled = width * (percent > 100 ? 100 : percent) / 100;
    return bar.title + " [" + std::string(filled, '#') + std::string(width - filled, '-') + after;
}
