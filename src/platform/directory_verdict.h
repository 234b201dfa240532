#pragma once

// What the checked open of a directory in data_dir found, shared by
// files_posix.cpp and files_win32.cpp: each makes the verdict with its own
// system calls, and both report it to a writer the same way.
#include <expected>

#include "platform/files.h"

namespace tarsel::platform {

// What a name opened in data_dir turned out to be, beyond open or not.
enum class DirectoryVerdict {
    trusted,
    missing,  // or not openable for another reason
    // A link or reparse point, something that is not a directory, or a
    // directory another user owns: theirs, not the helper's, and so set aside
    // when it is data_dir.
    foreign,
    // Found elsewhere than its path says, or a trusted account's own directory
    // that others may change (POSIX: writable by others without the sticky
    // bit; Windows: a DACL that lets others take or empty it): refused, not
    // moved, since only a trusted account can have made it so.
    refused,
};

// The handle of a trusted directory. A missing one is an open that failed;
// any other is no place the helper may write in.
template <class Handle>
[[nodiscard]] std::expected<Handle, WriteFailure> accept_directory(DirectoryVerdict verdict,
                                                                   Handle handle) {
    switch (verdict) {
        case DirectoryVerdict::trusted:
            return handle;
        case DirectoryVerdict::missing:
            return std::unexpected(WriteFailure::open_failed);
        default:
            return std::unexpected(WriteFailure::not_a_private_file);
    }
}

}  // namespace tarsel::platform
