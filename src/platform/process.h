#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <vector>

#include "platform/environment.h"

// Runs a child process to completion with both output streams captured.
namespace tarsel::platform {

struct ProcessRequest {
    Path program;                        // started exactly as given, no PATH search
    std::vector<std::string> arguments;  // UTF-8; what the POSIX launch passes as argv[1..]
    std::u16string command_line;         // what the Windows launch passes to CreateProcessW
};

struct ProcessOutput {
    std::uint32_t exit_code = 0;
    std::string standard_output;
    std::string standard_error;
};

// Standard input is the null device; standard output and standard error are
// read together until both end, then the child is waited for. The error is
// the system error code of the step that failed.
[[nodiscard]] std::expected<ProcessOutput, std::int32_t> run_process(const ProcessRequest& request);

// The system's message for an error code, followed by " (os error N)".
[[nodiscard]] std::string os_error_text(std::int32_t code);

}  // namespace tarsel::platform
