#pragma once

#include <cstdint>
#include <string_view>

// Asking the service manager about one service, with the rights every
// interactive user has.
namespace tarsel::platform {

struct ServiceQuery {
    enum class Outcome {
        state,               // `code` is the current state, one of scm::kService*
        not_installed,       // the service manager knows no such service
        no_service_manager,  // a host without one (the POSIX development build)
        failed,              // `code` is the system error code
    };
    Outcome outcome = Outcome::no_service_manager;
    std::uint32_t code = 0;
};

[[nodiscard]] ServiceQuery query_service_state(std::u16string_view service_name);

}  // namespace tarsel::platform
