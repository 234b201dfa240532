#pragma once

#include <cstdint>
#include <utility>

// A signal that one thread raises and another waits on together with other
// system objects: an eventfd on POSIX, a manual-reset event on Windows. Once
// raised it stays raised, so a waiter that comes late still sees it and
// nothing needs to clear it. Raising is safe from any thread, any number of
// times, for as long as the object lives.
namespace tarsel::platform {

class WakeSignal {
  public:
    // A fresh, unraised signal. When the system refuses one the object holds
    // nothing: raising it does nothing and waiters never see it, so whoever
    // relies on it must also have another way to notice (the loop's poll).
    [[nodiscard]] static WakeSignal create() noexcept;

    WakeSignal() noexcept = default;  // holds nothing
    WakeSignal(const WakeSignal&) = delete;
    WakeSignal& operator=(const WakeSignal&) = delete;
    WakeSignal(WakeSignal&& other) noexcept : native_(std::exchange(other.native_, kNone)) {}
    WakeSignal& operator=(WakeSignal&& other) noexcept {
        if (this != &other) {
            close();
            native_ = std::exchange(other.native_, kNone);
        }
        return *this;
    }
    ~WakeSignal() { close(); }

    void raise() const noexcept;
    [[nodiscard]] bool valid() const noexcept { return native_ != kNone; }

    // Whether it has been raised, asked without waiting (one system call).
    [[nodiscard]] bool is_raised() const noexcept;

    // The descriptor (POSIX) or HANDLE (Windows), for the platform's waits.
    [[nodiscard]] std::uintptr_t native() const noexcept { return native_; }

  private:
    static constexpr std::uintptr_t kNone = ~std::uintptr_t{0};
    explicit WakeSignal(std::uintptr_t native) noexcept : native_(native) {}
    // Each platform's file closes the descriptor or HANDLE; the moves and the
    // destructor above are the same on both.
    void close() noexcept;
    std::uintptr_t native_ = kNone;
};

}  // namespace tarsel::platform
