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
template <class Traits>
class UniqueHandle {
  public:
    using Value = typename Traits::Value;

    UniqueHandle() noexcept = default;
    explicit UniqueHandle(Value value) noexcept : value_(value) {}
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    UniqueHandle(UniqueHandle&& other) noexcept : value_(other.release()) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept {
        if (this != &other) {
            reset(other.release());
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
            Traits::close(old);
        }
    }

  private:
    Value value_ = Traits::invalid();
};

}  // namespace tarsel::platform
