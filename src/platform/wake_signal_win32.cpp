#include <windows.h>

#include <utility>

#include "platform/wake_signal.h"

namespace tarsel::platform {
namespace {

HANDLE to_handle(std::uintptr_t native) {
    return reinterpret_cast<HANDLE>(native);
}

}  // namespace

// Manual reset: a raised event stays signalled for every later wait.
WakeSignal WakeSignal::create() noexcept {
    HANDLE event = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    return event == nullptr ? WakeSignal() : WakeSignal(reinterpret_cast<std::uintptr_t>(event));
}

void WakeSignal::raise() const noexcept {
    if (valid()) {
        (void)::SetEvent(to_handle(native_));
    }
}

bool WakeSignal::is_raised() const noexcept {
    return valid() && ::WaitForSingleObject(to_handle(native_), 0) == WAIT_OBJECT_0;
}

void WakeSignal::close() noexcept {
    if (valid()) {
        ::CloseHandle(to_handle(std::exchange(native_, kNone)));
    }
}

}  // namespace tarsel::platform
