// Thins a progress run out for outputs that redraw or write a line per
// update: at most one update per percent step and none sooner than 100 ms
// after the last one shown. The first update of a run is always shown, and
// the last one is handed out at the run's end if it was held back.
#pragma once

#include "event.h"

constexpr double kProgressIntervalSeconds = 0.1;

struct ProgressThrottle {
    bool shownAny = false;   // an update of this run was shown
    uint32_t lastPercent = 0;
    double lastT = 0;
    bool holding = false;    // `held` arrived after the last one shown
    Event held;
};

// A new run starts: nothing shown, nothing held.
void ResetThrottle(ProgressThrottle* throttle);
// True when `update` is to be shown now; otherwise it is held back.
bool PassUpdate(ProgressThrottle* throttle, const Event& update);
// At the end of a run, at `now`: true (and the update) when the last one was
// held back. It takes the time `now`, so that events stay in time order
// whatever came between it and the end.
bool TakeHeldUpdate(ProgressThrottle* throttle, double now, Event* update);
