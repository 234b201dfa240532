#pragma once

#include <cstdint>
#include <expected>
#include <string_view>

#include "platform/environment.h"

namespace tarsel::platform {

// Creates `temporary` (which must not exist yet), writes every byte, closes it
// and renames it over `target`. A reader of `target` sees the old document or
// the new one, never a mixture. On failure the temporary file is removed and
// the system error code of the failed step is returned.
[[nodiscard]] std::expected<void, std::int32_t> write_then_rename(const Path& temporary,
                                                                  const Path& target,
                                                                  std::string_view bytes);

}  // namespace tarsel::platform
