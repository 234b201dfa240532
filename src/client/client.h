#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>

#include "client/request.h"
#include "client/send.h"
#include "platform/console.h"
#include "platform/environment.h"
#include "platform/service_query.h"

// tarselctl: asks the helper for a tunnel action through the two documents,
// checks command documents, and shows the exchange's state.
namespace tarsel::client {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;  // a failure answer, a command not sent, a rejected check
inline constexpr int kExitNoAnswer = 2;
inline constexpr int kExitUsage = 2;

// What the client reaches the world through. The product uses the real ones;
// tests pass a fake clock, a scripted random source and captured output.
struct ClientSeams {
    std::function<platform::Path()> default_data_dir;
    std::function<std::uint64_t()> random;
    std::function<Clock::time_point()> now;
    std::function<void(Clock::duration)> sleep;
    ResultWatch watch_result;  // null: the plain sleep between reads of result.json
    std::function<bool()> standard_error_is_terminal;
    std::function<platform::ServiceQuery()> query_service;
    std::function<void(std::string_view)> write_output;
    std::function<void(std::string_view)> write_error;
};

[[nodiscard]] ClientSeams default_client_seams();

// `arguments` starts with the program name. Returns the exit code.
[[nodiscard]] int run_client(std::span<const std::string> arguments, const ClientSeams& seams);

}  // namespace tarsel::client
