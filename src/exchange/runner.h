#pragma once

#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>

#include "platform/environment.h"
#include "platform/process.h"

// Carries out one tunnel action by running wireguard.exe.
namespace tarsel::exchange {

// Success, or failure with one UTF-8 text (possibly empty).
using ActionOutcome = std::expected<void, std::string>;

inline constexpr std::string_view kWireguardNotFound = "wireguard.exe not found next to helper";

// Where the runner looks: the helper's own path (or the error of finding it)
// and the data directory that holds tarsel.conf.
struct RunnerContext {
    std::expected<platform::Path, std::int32_t> helper_path;
    platform::Path data_dir;
};

// The context of the running helper, evaluated anew on each call.
[[nodiscard]] RunnerContext current_runner_context();

[[nodiscard]] ActionOutcome run_tunnel_action(std::string_view action);
[[nodiscard]] ActionOutcome run_tunnel_action(std::string_view action,
                                              const RunnerContext& context);

// wireguard.exe next to the helper, else in its resources sub-directory.
[[nodiscard]] std::expected<platform::Path, std::string> locate_wireguard(
    const std::expected<platform::Path, std::int32_t>& helper_path);

[[nodiscard]] std::expected<platform::ProcessOutput, std::int32_t> run_wireguard(
    const platform::Path& program, std::span<const std::string> arguments);

}  // namespace tarsel::exchange
