#pragma once

// The file-descriptor owner shared by the *_posix.cpp files.
#include <unistd.h>
#include <cerrno>

#include "platform/unique_handle.h"

namespace tarsel::platform::posix {

// Closing keeps errno: descriptors are often released on a failure path right
// after its code was read.
struct FdTraits {
    using Value = int;
    static Value invalid() noexcept { return -1; }
    static void close(Value fd) noexcept {
        const int saved = errno;
        ::close(fd);
        errno = saved;
    }
};
using UniqueFd = UniqueHandle<FdTraits>;

}  // namespace tarsel::platform::posix
