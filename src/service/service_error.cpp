#include "service/service_error.h"

#include <type_traits>

namespace tarsel::service {

std::string service_error_text(const ServiceError& error) {
    return std::visit(
        [](const auto& e) -> std::string {
            if constexpr (std::is_same_v<std::decay_t<decltype(e)>, SystemCallFailed>) {
                // The code stays out of the text: the user reads the same
                // line for every refusal of the service manager.
                return "IO error in winapi call";
            } else {
                return e.label + " contains a nul byte";
            }
        },
        error);
}

}  // namespace tarsel::service
