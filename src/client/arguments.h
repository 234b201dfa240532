#pragma once

#include <chrono>
#include <expected>
#include <optional>
#include <span>
#include <string>

// The command line of tarselctl.
namespace tarsel::client {

enum class Verb { up, down, check, status, help };

// A tunnel install can take a while, so the default wait is generous.
inline constexpr std::chrono::seconds kDefaultTimeout{120};

struct Invocation {
    Verb verb = Verb::help;
    std::optional<std::string> dir;  // UTF-8, as given after --dir
    std::chrono::seconds timeout = kDefaultTimeout;
    std::string file;  // the FILE of check
    friend bool operator==(const Invocation&, const Invocation&) = default;
};

// `arguments` starts with the program name. The error is the one-line reason
// shown above the usage text.
[[nodiscard]] std::expected<Invocation, std::string> parse_arguments(
    std::span<const std::string> arguments);

[[nodiscard]] std::string usage_text();

}  // namespace tarsel::client
