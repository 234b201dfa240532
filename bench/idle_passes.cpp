// Runs the real command loop, with its real wait on command.json's change,
// over an answered command for a given number of idle poll intervals of 1 ms,
// so that strace can count the system calls of one interval: a run with N
// intervals less a run with none. Each idle interval is one pass and one wait
// that times out.
//
// Usage: tarsel-idle-passes N
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "bench_documents.h"
#include "exchange/command_loop.h"
#include "support/temp_dir.h"

int main(int argc, char** argv) {
    using namespace tarsel;
    const int idle_intervals = argc > 1 ? std::stoi(argv[1]) : 1000;
    const testing::TempDir temp;
    testing::write_file(temp.path() / "command.json", bench::small_command());
    exchange::StopFlag stop = exchange::StopFlag::create();
    int timed_out = 0;
    // The first pass answers the command (without running anything) and the
    // wait after it sees result.json written; both runs make that start and
    // one wait that times out, so the difference is N idle intervals. The
    // stop is set after a wait, so no pass follows the last one.
    const exchange::LoopSettings settings{
        .data_dir = temp.path(),
        .poll_interval = std::chrono::milliseconds(1),
        .sleep = [](std::chrono::nanoseconds interval) { std::this_thread::sleep_for(interval); },
        .run_action = [](std::string_view) { return exchange::ActionOutcome{}; },
        .watch_changes =
            [&](const platform::Path& directory) -> exchange::ChangeWait {
            auto wait = exchange::watch_command_file(directory);
            if (!wait) {
                std::fprintf(stderr, "no change wait on %s\n", directory.c_str());
                std::exit(1);
            }
            return [&, wait = std::move(wait)](std::chrono::nanoseconds timeout,
                                               const platform::WakeSignal& wake) mutable {
                const platform::WatchWake woke = wait(timeout, wake);
                if (woke == platform::WatchWake::timed_out && ++timed_out > idle_intervals) {
                    stop.set();
                }
                return woke;
            };
        },
    };
    exchange::command_loop(stop, settings);
    std::printf("idle_intervals %d\n", timed_out - 1);
    return 0;
}
