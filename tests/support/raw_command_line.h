#pragma once

#include <optional>
#include <string>

namespace tarsel::testing {

// The command line exactly as the process received it (GetCommandLineW), on
// Windows; nothing on POSIX, where a process gets an argument vector instead.
// The stand-in records it, so tests see the quoting a child was given.
[[nodiscard]] std::optional<std::u16string> raw_command_line();

}  // namespace tarsel::testing
