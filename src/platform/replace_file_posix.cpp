#include <fcntl.h>
#include <unistd.h>
#include <cerrno>
#include <cstdio>

#include "platform/posix_handles.h"
#include "platform/replace_file.h"

namespace tarsel::platform {
namespace {

using posix::UniqueFd;

std::expected<void, std::int32_t> write_new_file(const Path& path, std::string_view bytes) {
    int fd;
    do {
        fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    } while (fd < 0 && errno == EINTR);
    UniqueFd file(fd);
    if (!file) {
        return std::unexpected(static_cast<std::int32_t>(errno));
    }
    while (!bytes.empty()) {
        const ssize_t n = ::write(file.get(), bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return std::unexpected(static_cast<std::int32_t>(n < 0 ? errno : EIO));
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    if (::close(file.release()) != 0 && errno != EINTR) {
        return std::unexpected(static_cast<std::int32_t>(errno));
    }
    return {};
}

}  // namespace

std::expected<void, std::int32_t> write_then_rename(const Path& temporary, const Path& target,
                                                    std::string_view bytes) {
    auto written = write_new_file(temporary, bytes);
    if (written && ::rename(temporary.c_str(), target.c_str()) != 0) {
        written = std::unexpected(static_cast<std::int32_t>(errno));
    }
    if (!written) {
        ::unlink(temporary.c_str());
    }
    return written;
}

}  // namespace tarsel::platform
