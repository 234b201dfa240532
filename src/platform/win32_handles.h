#pragma once

// Windows handle owners shared by the *_win32.cpp files. Included only by
// them, after <windows.h>.
#include <windows.h>

#include "platform/unique_handle.h"

namespace tarsel::platform::win32 {

// Closing keeps GetLastError(): handles are often released on a failure path
// right after its code was read.
inline void close_preserving_error(HANDLE handle) noexcept {
    const DWORD saved = ::GetLastError();
    ::CloseHandle(handle);
    ::SetLastError(saved);
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
        const DWORD saved = ::GetLastError();
        ::CloseServiceHandle(handle);
        ::SetLastError(saved);
    }
};
using UniqueFile = UniqueHandle<FileTraits>;
using UniqueKernelObject = UniqueHandle<KernelObjectTraits>;
using UniqueSc = UniqueHandle<ScTraits>;

}  // namespace tarsel::platform::win32
