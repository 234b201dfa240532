#include <fcntl.h>
#include <unistd.h>
#include <cerrno>
#include <cstdio>

#include "platform/posix_handles.h"
#include "platform/posix_io.h"
#include "platform/replace_file.h"

namespace tarsel::platform {
namespace {

using posix::UniqueFd;

std::expected<void, std::int32_t> write_new_file(const Path& path, std::string_view bytes) {
    UniqueFd file(posix::retry_on_eintr(
        [&] { return ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644); }));
    if (!file) {
        return std::unexpected(static_cast<std::int32_t>(errno));
    }
    if (auto written = posix::write_all(file.get(), bytes); !written) {
        return std::unexpected(static_cast<std::int32_t>(written.error()));
    }
    if (auto closed = posix::close_reporting(file); !closed) {
        return std::unexpected(static_cast<std::int32_t>(closed.error()));
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
