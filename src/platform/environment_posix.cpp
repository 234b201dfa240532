#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <cstdlib>

#include "platform/directory_levels.h"
#include "platform/environment.h"
#include "platform/text.h"

namespace tarsel::platform {

std::optional<Path> program_data_directory() {
    if (const char* value = std::getenv("PROGRAMDATA")) {
        return Path(value);
    }
    return std::nullopt;
}

std::optional<Path> temp_directory() {
    if (const char* value = std::getenv("TMPDIR")) {
        return Path(value);
    }
    return Path("/tmp");
}

Path join_path(const Path& base, std::string_view name) {
    std::string joined = base.native();
    if (!joined.empty() && joined.back() != '/') {
        joined.push_back('/');
    }
    joined.append(name);
    return Path(std::move(joined));
}

std::expected<Path, std::int32_t> executable_path() {
    std::string buffer(512, '\0');
    for (;;) {
        const ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
        if (n < 0) {
            return std::unexpected(static_cast<std::int32_t>(errno));
        }
        if (static_cast<std::size_t>(n) < buffer.size()) {
            buffer.resize(static_cast<std::size_t>(n));
            return Path(std::move(buffer));
        }
        buffer.resize(buffer.size() * 2);
    }
}

std::expected<void, std::int32_t> create_directory_chain(const Path& directory) {
    return make_each_level(
        directory, [](const std::string& level) -> std::expected<void, std::int32_t> {
            if (::mkdir(level.c_str(), 0755) == 0) {
                return {};
            }
            const int error = errno;
            struct stat st {};
            if (error == EEXIST && ::stat(level.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
                return {};
            }
            return std::unexpected(static_cast<std::int32_t>(error));
        });
}

std::u16string path_to_utf16(const Path& path) {
    return utf8_to_utf16(path.native());
}

std::string path_to_utf8(const Path& path) {
    return utf8_lossy(path.native());
}

}  // namespace tarsel::platform
