#include "progress_throttle.h"

void ResetThrottle(ProgressThrottle* throttle) { *throttle = ProgressThrottle(); }

namespace {

// Times are sums of doubles: an interval of exactly 100 ms may come out a
// hair shorter.
constexpr double kTimeToleranceSeconds = 1e-6;

}  // namespace

bool PassUpdate(ProgressThrottle* throttle, const Event& update) {
    const bool soonest = update.t - throttle->lastT >= kProgressIntervalSeconds - kTimeToleranceSeconds;
    const bool due = !throttle->shownAny || (update.percent != throttle->lastPercent && soonest);
    if (!due) {
        throttle->held = update;
        throttle->holding = true;
        return false;
    }
    throttle->shownAny = true;
    throttle->lastPercent = update.percent;
    throttle->lastT = update.t;
    throttle->holding = false;
    return true;
}

bool TakeHeldUpdate(ProgressThrottle* throttle, double now, Event* update) {
    if (!throttle->holding) return false;
    *update = throttle->held;
    update->t = now;
    throttle->holding = false;
    throttle->shownAny = true;
    throttle->lastPercent = update->percent;
    throttle->lastT = update->t;
    return true;
}
