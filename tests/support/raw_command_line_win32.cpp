#include <windows.h>

#include <string_view>

#include "support/raw_command_line.h"

namespace tarsel::testing {

std::optional<std::u16string> raw_command_line() {
    const std::wstring_view text(::GetCommandLineW());
    return std::u16string(text.begin(), text.end());
}

}  // namespace tarsel::testing
