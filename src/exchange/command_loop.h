#pragma once

#include <chrono>
#include <functional>
#include <string_view>

#include "exchange/runner.h"
#include "exchange/stop_flag.h"
#include "platform/environment.h"

// The helper's worker: polls command.json and answers each new nonce.
namespace tarsel::exchange {

inline constexpr std::chrono::nanoseconds kPollInterval = std::chrono::milliseconds(300);

// What the loop reaches the world through. The product uses the defaults;
// tests pass a short interval, a counting sleep or a scripted action.
struct LoopSettings {
    platform::Path data_dir;
    std::chrono::nanoseconds poll_interval = kPollInterval;
    std::function<void(std::chrono::nanoseconds)> sleep;
    std::function<ActionOutcome(std::string_view action)> run_action;
};

[[nodiscard]] LoopSettings default_loop_settings();

// Runs passes until it finds the flag set at the top of one, then releases its
// reference and returns.
void command_loop(StopFlag stop);
void command_loop(StopFlag stop, const LoopSettings& settings);

}  // namespace tarsel::exchange
