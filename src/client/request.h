#pragma once

#include <chrono>
#include <cstdint>
#include <expected>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "exchange/documents.h"
#include "platform/environment.h"

// One request to the helper: a command document with a fresh nonce, written in
// one step, and the wait for the result document that echoes that nonce.
namespace tarsel::client {

using Clock = std::chrono::steady_clock;

// Draws until the value is neither 0 (which the helper never answers) nor one
// of `avoid`: the nonce command.json holds now would not count as new, and the
// one result.json holds now would look answered at once.
[[nodiscard]] std::uint64_t choose_nonce(std::span<const std::uint64_t> avoid,
                                         const std::function<std::uint64_t()>& random);

// {"action":...,"nonce":...}, which the helper's own reader accepts.
[[nodiscard]] std::string encode_command(const exchange::HelperCommand& command);

// The command document goes to a temporary file beside command.json, which is
// then renamed over it, so that the helper never reads a half-written command.
// The error is the system error code.
[[nodiscard]] std::expected<void, std::int32_t> send_command(
    const platform::Path& data_dir, const exchange::HelperCommand& command);

// What waiting reaches the world through; tests drive a fake clock.
struct WaitSeams {
    std::function<Clock::time_point()> now;
    std::function<void(Clock::duration)> sleep;
    // Shows progress on standard error; null when nobody is watching.
    std::function<void(std::string_view)> show_progress;
};

// How often result.json is read while waiting, at the least: a change wait
// on the file ends each pause early when the system gives one. Well below
// the helper's own 300 ms poll, so even without it the answer is seen soon.
inline constexpr std::chrono::milliseconds kResultPollInterval{100};
// Quick answers print nothing extra; only a wait longer than this is shown.
inline constexpr std::chrono::seconds kProgressDelay{1};

// Reads result.json until it carries `nonce`; nothing when `timeout` passes.
[[nodiscard]] std::optional<exchange::HelperResult> wait_for_result(
    const platform::Path& result_path, std::uint64_t nonce, Clock::duration timeout,
    const WaitSeams& seams);

}  // namespace tarsel::client
