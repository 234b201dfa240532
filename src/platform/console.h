#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarsel::platform {

// The process's arguments, program name first, as UTF-8. Windows splits
// GetCommandLineW() with CommandLineToArgvW (argc/argv are ignored there);
// POSIX takes argv as it is.
[[nodiscard]] std::vector<std::string> command_line_arguments(int argc, char** argv);

// Write the bytes to standard error / standard output exactly as given: no
// "\r\n" translation, no buffering.
void write_standard_error(std::string_view bytes);
void write_standard_output(std::string_view bytes);

}  // namespace tarsel::platform

namespace tarsel::platform {

// The command line exactly as the process received it (GetCommandLineW), on
// Windows; nothing on POSIX, where a process gets an argument vector instead.
[[nodiscard]] std::optional<std::u16string> raw_command_line();

}  // namespace tarsel::platform
