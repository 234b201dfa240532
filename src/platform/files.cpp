#include "platform/files.h"

namespace tarsel::platform {

// One read by a reader made for it: the same checks and the same limit as
// every pass of the loop.
std::expected<std::string, ReadFailure> read_whole_file(const Path& path, std::size_t max_bytes) {
    RepeatedFileReader reader(path, max_bytes);
    const auto bytes = reader.read();
    if (!bytes) {
        return std::unexpected(bytes.error());
    }
    return std::string(*bytes);
}

}  // namespace tarsel::platform
