#pragma once

#include <utility>

namespace tarsel::platform {

// One owner for every kind of system handle. A Traits type says what the
// handle is, which value means "none" and how to close it:
//
//   struct FileTraits {
//       using Value = HANDLE;
//       static Value invalid() noexcept { return INVALID_HANDLE_VALUE; }
//       static void close(Value v) noexcept;  // must leave the last error as it was
//   };
//   using UniqueFile = UniqueHandle<FileTraits>;
//
// close() must preserve GetLastError()/errno, because handles are often
// released on the failure path right after the error code was captured.
//
// A handle that closes through a seam rather than a system call keeps what
// it closes through in its Traits object (close is then a member); the
// system's handles have empty Traits and cost no more than the bare value.
template <class Traits>
class UniqueHandle {
  public:
    using Value = typename Traits::Value;

    UniqueHandle() noexcept = default;
    explicit UniqueHandle(Value value) noexcept : value_(value) {}
    UniqueHandle(Value value, Traits traits) noexcept : value_(value), traits_(traits) {}
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    UniqueHandle(UniqueHandle&& other) noexcept : value_(other.release()), traits_(other.traits_) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept {
        if (this != &other) {
            reset(other.release());
            traits_ = other.traits_;
        }
        return *this;
    }
    ~UniqueHandle() { reset(); }

    [[nodiscard]] Value get() const noexcept { return value_; }
    [[nodiscard]] bool valid() const noexcept { return value_ != Traits::invalid(); }
    explicit operator bool() const noexcept { return valid(); }

    // Gives up ownership without closing.
    [[nodiscard]] Value release() noexcept { return std::exchange(value_, Traits::invalid()); }

    void reset(Value value = Traits::invalid()) noexcept {
        Value old = std::exchange(value_, value);
        if (old != Traits::invalid()) {
            traits_.close(old);
        }
    }

  private:
    Value value_ = Traits::invalid();
    [[no_unique_address]] Traits traits_{};
};

}  // namespace tarsel::platform
