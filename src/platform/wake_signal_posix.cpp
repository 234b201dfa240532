#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <utility>

#include "platform/wake_signal.h"

namespace tarsel::platform {

WakeSignal WakeSignal::create() noexcept {
    const int fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    return fd < 0 ? WakeSignal() : WakeSignal(static_cast<std::uintptr_t>(fd));
}

// The counter is never read, so the descriptor stays readable from the first
// raise on. A counter at its maximum refuses the write, and is raised anyway.
void WakeSignal::raise() const noexcept {
    if (valid()) {
        const std::uint64_t one = 1;
        (void)!::write(static_cast<int>(native_), &one, sizeof one);
    }
}

bool WakeSignal::is_raised() const noexcept {
    if (!valid()) {
        return false;
    }
    pollfd readable{.fd = static_cast<int>(native_), .events = POLLIN, .revents = 0};
    return ::poll(&readable, 1, 0) == 1 && (readable.revents & POLLIN) != 0;
}

void WakeSignal::close() noexcept {
    if (valid()) {
        ::close(static_cast<int>(std::exchange(native_, kNone)));
    }
}

}  // namespace tarsel::platform
