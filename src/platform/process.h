#pragma once

#include <chrono>
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

// How long the pipes are still read once the child has exited. A process the
// child started may have inherited them and keep them open for as long as it
// runs; what came in until then is the output.
inline constexpr std::chrono::milliseconds kPipesAfterExit{2000};

// Standard input is the null device; standard output and standard error are
// read together until both end (or kPipesAfterExit after the child's exit),
// then the child is waited for. The error is the system error code of the
// step that failed.
[[nodiscard]] std::expected<ProcessOutput, std::int32_t> run_process(const ProcessRequest& request);

// The system's message for an error code, followed by " (os error N)".
[[nodiscard]] std::string os_error_text(std::int32_t code);

}  // namespace tarsel::platform
