#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "exchange/documents.h"
#include "reference_command.h"

// The differential check shared by the fuzz targets and the unit tests.
namespace tarsel::testing {

// What the reference expects read_command to make of a file holding `bytes`:
// nothing above 1 MiB or for bytes that are not UTF-8, else the parse.
[[nodiscard]] ReferenceVerdict reference_read_command(std::string_view bytes);

// Empty when the product agrees with the reference: it accepts exactly when
// the reference does, with the same action and nonce. A reference that
// declines to judge (too deep) agrees with anything. Otherwise a description
// of the difference, naming `input`.
[[nodiscard]] std::string disagreement(std::string_view input, const ReferenceVerdict& expected,
                                       const std::optional<exchange::HelperCommand>& actual);

}  // namespace tarsel::testing
