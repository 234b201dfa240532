#pragma once

#include <cstdint>
#include <expected>
#include <string_view>

#include "platform/environment.h"

// What the command-line client needs from the system beyond the exchange
// documents: replacing command.json in one step, knowing whether a person is
// watching standard error, and asking the service manager about the helper.
namespace tarsel::platform {

// Creates `temporary` (which must not exist yet), writes every byte, closes it
// and renames it over `target`. A reader of `target` sees the old document or
// the new one, never a mixture. On failure the temporary file is removed and
// the system error code of the failed step is returned.
[[nodiscard]] std::expected<void, std::int32_t> write_then_rename(const Path& temporary,
                                                                  const Path& target,
                                                                  std::string_view bytes);

// True when standard error is a console or terminal rather than a file or pipe.
[[nodiscard]] bool standard_error_is_terminal();

// What the service manager says about one service.
struct ServiceQuery {
    enum class Outcome {
        state,               // `code` is the SERVICE_* current state (1 stopped ... 7 paused)
        not_installed,       // the service manager knows no such service
        no_service_manager,  // a host without one (the POSIX development build)
        failed,              // `code` is the system error code
    };
    Outcome outcome = Outcome::no_service_manager;
    std::uint32_t code = 0;
};

[[nodiscard]] ServiceQuery query_service_state(std::u16string_view service_name);

}  // namespace tarsel::platform
