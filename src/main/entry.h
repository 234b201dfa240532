#pragma once

#include <expected>
#include <functional>
#include <span>
#include <string>
#include <string_view>

// Chooses the mode from the first command-line argument and turns a failure
// into one line on standard error and exit code 1.
namespace tarsel::entry {

using Operation = std::function<std::expected<void, std::string>()>;

// The four operations the entry can call and where its failure line goes. The
// product passes the real ones; tests record which one ran and what was written.
struct EntryOperations {
    Operation install;
    Operation uninstall;
    Operation repair;
    Operation run_service;
    std::function<void(std::string_view)> write_standard_error;
};

// `arguments` starts with the program name. Returns the exit code.
[[nodiscard]] int run_entry(std::span<const std::string> arguments,
                            const EntryOperations& operations);

}  // namespace tarsel::entry
