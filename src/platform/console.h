#pragma once

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

// True when standard error is a console or terminal rather than a file or pipe.
[[nodiscard]] bool standard_error_is_terminal();

}  // namespace tarsel::platform
