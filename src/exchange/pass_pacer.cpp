#include "exchange/pass_pacer.h"

namespace tarsel::exchange {

using platform::WatchWake;

void PassPacer::before_pass(bool directory_trusted) {
    if (!directory_trusted) {
        watch_ = nullptr;
    } else if (!watch_ && settings_.watch_changes) {
        watch_ = settings_.watch_changes(settings_.data_dir);
    }
}

void PassPacer::after_pass() {
    if (!watch_) {
        settings_.sleep(settings_.poll_interval);
        return;
    }
    const Clock::time_point deadline = Clock::now() + settings_.poll_interval;
    for (;;) {
        Clock::time_point now = Clock::now();
        // Idle, the last wake is long past and this costs nothing. In a storm
        // the changes that arrive during this sleep are all taken by the one
        // wait after it.
        if (const Clock::time_point earliest = last_wake_ + settings_.minimum_gap;
            now < earliest) {
            settings_.sleep(earliest - now);
            now = Clock::now();
        }
        if (now >= deadline) {
            return;
        }
        const WatchWake wake = watch_(deadline - now, stop_.wake());
        switch (wake) {
            case WatchWake::timed_out:
                return;
            case WatchWake::signalled:
            case WatchWake::changed:
                last_wake_ = Clock::now();
                return;
            case WatchWake::unrelated:
                last_wake_ = Clock::now();
                continue;
            case WatchWake::broken:
            default:
                // The directory went away or the system gave up on the watch:
                // the rest of the interval is slept, and the next pass sets
                // up a new watch if it can.
                watch_ = nullptr;
                if (const Clock::time_point after = Clock::now(); after < deadline) {
                    settings_.sleep(deadline - after);
                }
                return;
        }
    }
}

}  // namespace tarsel::exchange
