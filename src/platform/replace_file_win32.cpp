#include <windows.h>

#include <string>

#include "platform/replace_file.h"
#include "platform/win32_handles.h"
#include "platform/win32_io.h"

namespace tarsel::platform {
namespace {

using win32::UniqueFile;

std::int32_t last_error() {
    return static_cast<std::int32_t>(::GetLastError());
}

std::expected<void, std::int32_t> write_new_file(const Path& path, std::string_view bytes) {
    // CREATE_NEW: a leftover file of that name is never written into.
    UniqueFile file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        return std::unexpected(last_error());
    }
    if (auto written = win32::write_all(file.get(), bytes); !written) {
        return std::unexpected(static_cast<std::int32_t>(written.error()));
    }
    if (!::CloseHandle(file.release())) {
        return std::unexpected(last_error());
    }
    return {};
}

bool is_transient(DWORD error) {
    return error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION ||
           error == ERROR_LOCK_VIOLATION;
}

}  // namespace

std::expected<void, std::int32_t> write_then_rename(const Path& temporary, const Path& target,
                                                    std::string_view bytes) {
    auto written = write_new_file(temporary, bytes);
    if (written) {
        // The helper opens command.json with delete sharing, so it never blocks
        // the replacement; a virus scanner or indexer that opens the file
        // without it can, for a moment, so such refusals are retried briefly.
        for (int attempt = 0;; ++attempt) {
            if (::MoveFileExW(temporary.c_str(), target.c_str(),
                              MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
                break;
            }
            const DWORD error = ::GetLastError();
            if (attempt == 40 || !is_transient(error)) {
                written = std::unexpected(static_cast<std::int32_t>(error));
                break;
            }
            ::Sleep(50);
        }
    }
    if (!written) {
        ::DeleteFileW(temporary.c_str());
    }
    return written;
}

}  // namespace tarsel::platform
