#pragma once

// The checked open of a directory, shared by the *_win32.cpp files that act
// inside data_dir. Included only by them, after <windows.h>.
#include <expected>

#include "platform/environment.h"
#include "platform/files.h"
#include "platform/win32_handles.h"

namespace tarsel::platform::win32 {

// The directory `directory` names, opened as it is at this moment with
// `access` (and the attributes the check reads) and the extra CreateFileW
// `flags`, then checked: a real directory, not a reparse point, that the
// system places where the name says (is_real_directory_at), whose owner and
// DACL let no one else take, move or empty it (is_trusted_security). Names opened
// relative to the handle, and changes watched through it, stay with that
// directory, whatever later becomes of the path that led to it.
[[nodiscard]] std::expected<UniqueFile, WriteFailure> open_checked_directory(const Path& directory,
                                                                             DWORD access,
                                                                             DWORD flags = 0);

}  // namespace tarsel::platform::win32
