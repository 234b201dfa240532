#pragma once

#include <cstdint>
#include <string>
#include <variant>

namespace tarsel::service {

// A service-manager or dispatcher call that failed; the code is GetLastError()
// read right after it. The code is kept for tests and diagnosis, but the text
// shown to users does not carry it.
struct SystemCallFailed {
    std::uint32_t code = 0;
    friend bool operator==(const SystemCallFailed&, const SystemCallFailed&) = default;
};

// A text bound for the service manager held a NUL; `label` names the argument.
struct EmbeddedNul {
    std::string label;
    friend bool operator==(const EmbeddedNul&, const EmbeddedNul&) = default;
};

using ServiceError = std::variant<SystemCallFailed, EmbeddedNul>;

// "IO error in winapi call", or the label followed by " contains a nul byte".
[[nodiscard]] std::string service_error_text(const ServiceError& error);

}  // namespace tarsel::service
