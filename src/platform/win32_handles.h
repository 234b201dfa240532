#pragma once

// Windows handle owners shared by the *_win32.cpp files. Included only by
// them, after <windows.h>.
#include <windows.h>

#include "platform/unique_handle.h"

namespace tarsel::platform::win32 {

// Closing keeps GetLastError(): handles are often released on a failure path
// right after its code was read.
template <class Handle, class Close>
void close_preserving_error(Handle handle, Close close) noexcept {
    const DWORD saved = ::GetLastError();
    close(handle);
    ::SetLastError(saved);
}
inline void close_preserving_error(HANDLE handle) noexcept {
    close_preserving_error(handle, ::CloseHandle);
}

// Files and pipes are INVALID_HANDLE_VALUE when absent; events, processes and
// threads are null.
struct FileTraits {
    using Value = HANDLE;
    static Value invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void close(Value handle) noexcept { close_preserving_error(handle); }
};
struct KernelObjectTraits {
    using Value = HANDLE;
    static Value invalid() noexcept { return nullptr; }
    static void close(Value handle) noexcept { close_preserving_error(handle); }
};
// Service-manager handles close with CloseServiceHandle, not CloseHandle.
struct ScTraits {
    using Value = SC_HANDLE;
    static Value invalid() noexcept { return nullptr; }
    static void close(Value handle) noexcept {
        close_preserving_error(handle, ::CloseServiceHandle);
    }
};
using UniqueFile = UniqueHandle<FileTraits>;
using UniqueKernelObject = UniqueHandle<KernelObjectTraits>;
using UniqueSc = UniqueHandle<ScTraits>;

}  // namespace tarsel::platform::win32
