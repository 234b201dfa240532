#pragma once

#include <chrono>

#include "exchange/command_loop.h"
#include "exchange/stop_flag.h"

// What the command loop does between two passes.
namespace tarsel::exchange {

// Waits at most one poll interval after a pass, and less when command.json
// changes or the stop flag's wake is raised. The poll interval stays the
// guarantee: a change the system never reports, a watch that cannot be set
// up and a directory that cannot be watched all cost latency, nothing else.
//
// A storm of changes in data_dir wakes the wait at most once per minimum gap;
// whatever arrives in between is taken by the next wait in one go, and a
// change to command.json among it still leads to a pass.
class PassPacer {
  public:
    PassPacer(const LoopSettings& settings, const StopFlag& stop) noexcept
        : settings_(settings), stop_(stop) {}

    // At the top of a pass, before command.json is read, so that a change
    // made while it is read still wakes the wait that follows. Sets up the
    // watch when there is none (again on every pass until it works), and
    // drops it when the loop no longer trusts the directory.
    void before_pass(bool directory_trusted);

    // After the pass: one wait in place of the poll interval's sleep.
    void after_pass();

  private:
    using Clock = std::chrono::steady_clock;

    const LoopSettings& settings_;
    const StopFlag& stop_;
    ChangeWait watch_;
    Clock::time_point last_wake_{};
};

}  // namespace tarsel::exchange
