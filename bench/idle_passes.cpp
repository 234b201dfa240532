// Runs the real command loop over an answered command for a given number of
// idle passes, sleeping 1 ms between passes, so that strace can count the
// system calls of one pass: a run with N passes less a run with none.
//
// Usage: tarsel-idle-passes N
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "bench_documents.h"
#include "exchange/command_loop.h"
#include "support/temp_dir.h"

int main(int argc, char** argv) {
    using namespace tarsel;
    const int idle_passes = argc > 1 ? std::stoi(argv[1]) : 1000;
    const testing::TempDir temp;
    testing::write_file(temp.path() / "command.json", bench::small_command());
    exchange::StopFlag stop = exchange::StopFlag::create();
    int sleeps = 0;
    // The first pass answers the command (without running anything); every
    // later one is idle.
    const exchange::LoopSettings settings{
        .data_dir = temp.path(),
        .poll_interval = std::chrono::milliseconds(1),
        .sleep =
            [&](std::chrono::nanoseconds interval) {
                if (++sleeps > idle_passes) {
                    stop.set();
                }
                std::this_thread::sleep_for(interval);
            },
        .run_action = [](std::string_view) { return exchange::ActionOutcome{}; },
    };
    exchange::command_loop(stop, settings);
    std::printf("passes %d\n", sleeps);
    return 0;
}
