#pragma once

// The system-call loops shared by the *_posix.cpp files: retrying a call that
// a signal interrupted, writing every byte, and closing with the failure
// reported.
#include <unistd.h>
#include <cerrno>

#include <expected>
#include <string_view>

#include "platform/posix_handles.h"

namespace tarsel::platform::posix {

// Calls `call` again while it fails with EINTR. Every call here reports a
// failure as a negative result (-1) with errno set.
template <class Call>
auto retry_on_eintr(Call call) {
    auto result = call();
    while (result < 0 && errno == EINTR) {
        result = call();
    }
    return result;
}

// Writes all of `bytes`, or fails with errno. A write that takes nothing is a
// failure (EIO): retrying it could spin forever.
inline std::expected<void, int> write_all(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n =
            retry_on_eintr([&] { return ::write(fd, bytes.data(), bytes.size()); });
        if (n < 0) {
            return std::unexpected(errno);
        }
        if (n == 0) {
            return std::unexpected(EIO);
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return {};
}

// Closes `file` and reports what close said: some file systems report a
// failed write only here. After EINTR the descriptor is already closed, so it
// is not closed again and the close counts as done.
inline std::expected<void, int> close_reporting(UniqueFd& file) {
    if (::close(file.release()) != 0 && errno != EINTR) {
        return std::unexpected(errno);
    }
    return {};
}

}  // namespace tarsel::platform::posix
