#include <windows.h>
#include <ntsecapi.h>

#include "platform/system_random.h"

namespace tarsel::platform {

std::expected<void, std::int32_t> fill_system_random(std::span<unsigned char> out) {
    // RtlGenRandom (advapi32's SystemFunction036) draws from the same
    // system generator as BCryptGenRandom and keeps the helper's imports to
    // the DLLs it already uses. One call takes at most a ULONG's worth.
    if (out.size() > 0xFFFF'FFFFu ||
        !::RtlGenRandom(out.data(), static_cast<ULONG>(out.size()))) {
        return std::unexpected(static_cast<std::int32_t>(ERROR_GEN_FAILURE));
    }
    return {};
}

}  // namespace tarsel::platform
