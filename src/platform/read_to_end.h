#pragma once

// The part of reading a whole file that is the same on every system: how
// large the buffer starts, how it grows, where the limit falls and when the
// end has been reached. Used by the files_*.cpp readers, which supply the
// system's read call.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <limits>
#include <optional>
#include <string>
#include <string_view>

#include "platform/files.h"

namespace tarsel::platform {

// The most one read or write asks for. Windows counts in DWORDs and Linux
// moves a little under 2 GiB at a time; below both, a read that gets less
// than it asked for is never the system's own cap.
inline constexpr std::size_t kMaxTransfer = std::size_t{1} << 30;

// Reads an open regular file from its start to its end into `buffer`, which
// a caller reading in every pass keeps from call to call: the buffer only
// ever grows, so rereading a file that has not grown allocates nothing.
// `size_hint` is the size the system reported, only a first guess. `read_some`
// (char* into, std::size_t request) reads once, resuming after interruptions,
// and gives the count read (0 at the end) or nothing when the read failed.
template <class ReadSome>
std::expected<std::string_view, ReadFailure> read_to_end(std::string& buffer,
                                                         std::uint64_t size_hint,
                                                         std::size_t max_bytes,
                                                         ReadSome read_some) {
    // One byte past the limit is enough to know the file is too large, and
    // the buffer never grows beyond that, whatever the file holds.
    const std::size_t limit =
        max_bytes == std::numeric_limits<std::size_t>::max() ? max_bytes : max_bytes + 1;
    const auto estimate = static_cast<std::size_t>(std::min<std::uint64_t>(size_hint, limit));
    // The extra byte lets the first read past the estimate see end of file
    // without growing the buffer.
    const std::size_t wanted = std::min(limit, std::max<std::size_t>(estimate, 1) + 1);
    if (buffer.size() < wanted) {
        buffer.resize(wanted);
    }
    std::size_t used = 0;
    for (;;) {
        if (used == buffer.size()) {
            if (used >= limit) {
                return std::unexpected(ReadFailure::too_large);
            }
            buffer.resize(std::min(limit, std::max<std::size_t>(buffer.size() * 2, 4096)));
        }
        const std::size_t request = std::min(buffer.size() - used, kMaxTransfer);
        const std::optional<std::size_t> n = read_some(buffer.data() + used, request);
        if (!n) {
            return std::unexpected(ReadFailure::read_failed);
        }
        if (*n == 0) {
            break;
        }
        used += *n;
        // A regular file reads short only at its end: a read that got less
        // than it asked for has reached it, and the pass saves the second
        // read that would only say so.
        if (*n < request) {
            break;
        }
    }
    return std::string_view(buffer.data(), used);
}

}  // namespace tarsel::platform
