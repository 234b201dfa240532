#include <windows.h>

#include "platform/directory_levels.h"
#include "platform/environment.h"
#include "platform/text.h"
#include "platform/win32_io.h"

namespace tarsel::platform {
namespace {

std::u16string to_u16(std::wstring_view text) {
    return std::u16string(text.begin(), text.end());
}

using GetTempPath2WFunction = DWORD(WINAPI*)(DWORD, LPWSTR);

// GetTempPath2W exists from Windows 11 (and late Windows 10 updates) on; it is
// looked up once, by name, so the helper still starts where it is missing.
GetTempPath2WFunction get_temp_path2w() {
    static const GetTempPath2WFunction function = [] {
        HMODULE kernel32 = ::GetModuleHandleW(L"kernel32.dll");
        if (kernel32 == nullptr) {
            return GetTempPath2WFunction{nullptr};
        }
        return reinterpret_cast<GetTempPath2WFunction>(
            reinterpret_cast<void*>(::GetProcAddress(kernel32, "GetTempPath2W")));
    }();
    return function;
}

bool is_separator(wchar_t c) {
    return c == L'\\' || c == L'/';
}

}  // namespace

std::optional<Path> program_data_directory() {
    DWORD error = ERROR_SUCCESS;
    auto value = win32::grow_and_fill([&](wchar_t* buffer, DWORD size) {
        ::SetLastError(ERROR_SUCCESS);
        const DWORD n = ::GetEnvironmentVariableW(L"PROGRAMDATA", buffer, size);
        error = ::GetLastError();
        return n;
    });
    if (!value) {
        // An empty value also returns 0, but leaves no error behind.
        if (error == ERROR_ENVVAR_NOT_FOUND) {
            return std::nullopt;
        }
        return Path(std::wstring());
    }
    if (!is_valid_utf16(to_u16(*value))) {
        return std::nullopt;
    }
    return Path(std::move(*value));
}

std::optional<Path> temp_directory() {
    auto path = win32::grow_and_fill([](wchar_t* buffer, DWORD size) {
        if (auto function = get_temp_path2w()) {
            return function(size, buffer);
        }
        return ::GetTempPathW(size, buffer);
    });
    if (!path) {
        return std::nullopt;
    }
    return Path(std::move(*path));
}

Path join_path(const Path& base, std::string_view name) {
    std::wstring joined = base.native();
    const bool bare_drive =
        joined.size() == 2 && joined[1] == L':' &&
        ((joined[0] >= L'A' && joined[0] <= L'Z') || (joined[0] >= L'a' && joined[0] <= L'z'));
    if (!joined.empty() && !is_separator(joined.back()) && !bare_drive) {
        joined.push_back(L'\\');
    }
    for (char16_t unit : utf8_to_utf16(name)) {
        joined.push_back(static_cast<wchar_t>(unit));
    }
    return Path(std::move(joined));
}

std::expected<Path, std::int32_t> executable_path() {
    auto path = win32::grow_and_fill([](wchar_t* buffer, DWORD size) {
        // A name cut to fit comes back as the whole buffer; ask for twice as much.
        const DWORD n = ::GetModuleFileNameW(nullptr, buffer, size);
        return n == size ? 2 * size : n;
    });
    if (!path) {
        return std::unexpected(static_cast<std::int32_t>(::GetLastError()));
    }
    return Path(std::move(*path));
}

std::expected<void, std::int32_t> create_directory_chain(const Path& directory) {
    return make_each_level(
        directory, [](const std::wstring& level) -> std::expected<void, std::int32_t> {
            if (::CreateDirectoryW(level.c_str(), nullptr)) {
                return {};
            }
            const DWORD error = ::GetLastError();
            const DWORD attributes = ::GetFileAttributesW(level.c_str());
            if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
                return {};
            }
            return std::unexpected(static_cast<std::int32_t>(error));
        });
}

std::u16string path_to_utf16(const Path& path) {
    return to_u16(path.native());
}

std::string path_to_utf8(const Path& path) {
    return utf16_to_utf8_lossy(path_to_utf16(path));
}

}  // namespace tarsel::platform
