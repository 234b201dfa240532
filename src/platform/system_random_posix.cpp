#include <sys/random.h>
#include <cerrno>

#include "platform/posix_io.h"
#include "platform/system_random.h"

namespace tarsel::platform {

std::expected<void, std::int32_t> fill_system_random(std::span<unsigned char> out) {
    std::size_t filled = 0;
    while (filled < out.size()) {
        const ssize_t n = posix::retry_on_eintr(
            [&] { return ::getrandom(out.data() + filled, out.size() - filled, 0); });
        if (n < 0) {
            return std::unexpected(static_cast<std::int32_t>(errno));
        }
        filled += static_cast<std::size_t>(n);
    }
    return {};
}

}  // namespace tarsel::platform
