// The progress bar drawn on a terminal:
//   Loading Flash ... [################--------]  66%  85.3 KiB/s  0:07 left
#pragma once

#include <cstdint>
#include <string>

struct BarState {
    std::string title;
    uint32_t total = 1;
    double begin = 0;        // when the run began
    bool showRate = false;   // the run counts image bytes: a rate in KiB/s means something
};

// The bar for `current` (of the run's total) at `percent`, `now` seconds
// into flashcli, fitted into `columns` characters (no wrap on a terminal of
// that width). Rate and time left appear once the run has gone on a while.
std::string BarText(const BarState& bar, uint32_t current, uint32_t percent, double now, unsigned columns);
// "0:07", "12:30", "1:02:03"
std::string ClockText(double seconds);
