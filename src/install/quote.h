#pragma once

#include <string>
#include <string_view>

namespace tarsel::install {

// Writes `text` as one command-line argument under the Microsoft C runtime's
// convention: unchanged when non-empty and free of tab, line feed, vertical
// tab, space and double quote; otherwise quoted with backslashes escaped only
// where the convention needs it.
[[nodiscard]] std::u16string quote_command_argument(std::u16string_view text);

}  // namespace tarsel::install
