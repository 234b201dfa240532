#pragma once

#include <chrono>
#include <functional>
#include <string_view>

#include "exchange/runner.h"
#include "exchange/stop_flag.h"
#include "platform/directory_watch.h"
#include "platform/environment.h"
#include "platform/wake_signal.h"

// The helper's worker: polls command.json and answers each new nonce.
namespace tarsel::exchange {

// The poll is the guarantee: however the change wait fares, command.json is
// read again at least this often.
inline constexpr std::chrono::nanoseconds kPollInterval = std::chrono::milliseconds(300);

// The least time between two wakes of the wait. A user who rewrites files in
// data_dir as fast as they can then costs the helper at most a few hundred
// short wakes a second (about 2 % of a core, measured), and a command sent
// meanwhile waits this long at most on top of its answer.
inline constexpr std::chrono::nanoseconds kMinimumGap = std::chrono::milliseconds(3);

// One wait of at most the time-out given, for command.json to change or the
// signal to be raised (DirectoryWatch::wait on data_dir, in the product).
using ChangeWait = std::move_only_function<platform::WatchWake(std::chrono::nanoseconds timeout,
                                                                const platform::WakeSignal& wake)>;

// What the loop reaches the world through. The product uses the defaults;
// tests pass a short interval, a counting sleep, a scripted action or a
// wrapped change wait.
struct LoopSettings {
    platform::Path data_dir;
    std::chrono::nanoseconds poll_interval = kPollInterval;
    // Between passes when there is no change wait, and to keep the minimum
    // gap when there is.
    std::function<void(std::chrono::nanoseconds)> sleep;
    std::function<ActionOutcome(std::string_view action)> run_action;
    // Sets up the change wait on data_dir. Without this function, or when it
    // gives an empty wait, the loop sleeps the poll interval, and asks again
    // on the next pass.
    std::function<ChangeWait(const platform::Path& directory)> watch_changes = nullptr;
    std::chrono::nanoseconds minimum_gap = kMinimumGap;
};

[[nodiscard]] LoopSettings default_loop_settings();

// The product's change wait: command.json inside `directory` as checked now.
// Empty when the directory is missing or refused, or the system will not
// watch it.
[[nodiscard]] ChangeWait watch_command_file(const platform::Path& directory);

// Runs passes until it finds the flag set at the top of one, then releases its
// reference and returns.
void command_loop(StopFlag stop);
void command_loop(StopFlag stop, const LoopSettings& settings);

}  // namespace tarsel::exchange
