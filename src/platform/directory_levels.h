#pragma once

// The walk create_directory_chain makes on both platforms; each side's file
// makes one level with its own system calls.
#include <cstddef>
#include <cstdint>
#include <expected>

#include "platform/environment.h"

namespace tarsel::platform {

// Hands `make_level` each level of `directory` below its root, from the top:
// the path's text up to each separator, then the whole path. The root ("/",
// "C:\", "\\server\share\") is never made, and doubled separators make no
// level of their own. The first level that fails ends the walk with its
// system error code.
template <class MakeLevel>
[[nodiscard]] std::expected<void, std::int32_t> make_each_level(const Path& directory,
                                                                MakeLevel make_level) {
    const Path::string_type& full = directory.native();
    const auto is_separator = [](Path::value_type c) {
        return c == Path::value_type{'/'} || c == Path::preferred_separator;
    };
    const std::size_t root = directory.root_path().native().size();
    for (std::size_t i = root + 1; i <= full.size(); ++i) {
        if (i != full.size() && !is_separator(full[i])) {
            continue;
        }
        if (is_separator(full[i - 1])) {
            continue;
        }
        if (auto made = make_level(full.substr(0, i)); !made) {
            return made;
        }
    }
    return {};
}

}  // namespace tarsel::platform
