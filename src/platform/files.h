#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

#include "platform/environment.h"

// Whole-file reads and writes for the two exchange documents. Both open with
// sharing for read, write and delete, so the client is never locked out.
namespace tarsel::platform {

enum class ReadFailure {
    open_failed,  // missing, not accessible, or not openable
    read_failed,
    too_large,    // more than the caller's limit
};

// Reads the whole file, at most `max_bytes`. The current size is only a first
// guess for the buffer; the read goes on until end of file.
[[nodiscard]] std::expected<std::string, ReadFailure> read_whole_file(const Path& path,
                                                                      std::size_t max_bytes);

// Opens for writing (created when missing, cut to zero length when present),
// writes every byte (resuming partial and interrupted writes), closes.
[[nodiscard]] std::expected<void, std::int32_t> replace_file_content(const Path& path,
                                                                     std::string_view bytes);

// True when the file system reports attributes for the path, following
// symbolic links. A directory counts; every error counts as absent.
[[nodiscard]] bool path_exists(const Path& path);

}  // namespace tarsel::platform
