#include "support/raw_command_line.h"

namespace tarsel::testing {

std::optional<std::u16string> raw_command_line() {
    return std::nullopt;
}

}  // namespace tarsel::testing
