#pragma once

// The system-call loops shared by the *_win32.cpp files: writing every byte,
// and growing a buffer until a text fits. Included only by them, after
// <windows.h>.
#include <windows.h>

#include <algorithm>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

namespace tarsel::platform::win32 {

// Writes all of `bytes` in requests of at most 1 GiB (WriteFile takes a DWORD
// count), or fails with the system's error code. A write that takes nothing is
// a failure (ERROR_WRITE_FAULT): retrying it could spin forever.
inline std::expected<void, DWORD> write_all(HANDLE handle, std::string_view bytes) {
    while (!bytes.empty()) {
        DWORD n = 0;
        const auto request = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), 1u << 30));
        if (!::WriteFile(handle, bytes.data(), request, &n, nullptr)) {
            return std::unexpected(::GetLastError());
        }
        if (n == 0) {
            return std::unexpected(static_cast<DWORD>(ERROR_WRITE_FAULT));
        }
        bytes.remove_prefix(n);
    }
    return {};
}

// Calls `fill(buffer, size)` until the text fits; nothing when it fails.
// `fill` follows the common contract of the system's text queries: 0 on a
// failure, the text's length when it fit, otherwise the size it needs.
template <class Fill>
std::optional<std::wstring> grow_and_fill(Fill fill) {
    std::wstring buffer(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = fill(buffer.data(), static_cast<DWORD>(buffer.size()));
        if (n == 0) {
            return std::nullopt;
        }
        if (n < buffer.size()) {
            buffer.resize(n);
            return buffer;
        }
        buffer.resize(std::size_t{n} + 1);
    }
}

}  // namespace tarsel::platform::win32
