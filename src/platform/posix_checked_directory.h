#pragma once

// The checked open of a directory, shared by the *_posix.cpp files that act
// inside data_dir.
#include <expected>

#include "platform/environment.h"
#include "platform/files.h"
#include "platform/posix_handles.h"

namespace tarsel::platform::posix {

// The directory `directory` names, opened as it is at this moment and
// checked: a real directory, not a link, that the kernel places where the
// name says (is_real_directory_at), owned by root or the helper and writable
// by no one else (is_trusted_posix). Names opened relative to the descriptor,
// and a watch set through it, stay with that directory, whatever later
// becomes of the path that led to it.
[[nodiscard]] std::expected<UniqueFd, WriteFailure> open_checked_directory(const Path& directory);

}  // namespace tarsel::platform::posix
