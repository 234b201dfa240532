#include "platform/hardening.h"

namespace tarsel::platform {

// The development host runs no privileged service; there is nothing to defend.
void harden_process() noexcept {}

}  // namespace tarsel::platform
