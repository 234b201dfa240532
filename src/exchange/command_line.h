#pragma once

#include <span>
#include <string>
#include <string_view>

namespace tarsel::exchange {

// The CreateProcessW command line that the Microsoft C runtime's argument
// parsing (CommandLineToArgvW) turns back into the program path and exactly
// these arguments. The program path goes in quotes, unescaped.
[[nodiscard]] std::u16string encode_command_line(std::u16string_view program,
                                                 std::span<const std::string> arguments);

}  // namespace tarsel::exchange
