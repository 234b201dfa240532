#pragma once

#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

// Where the helper lives and where its data goes.
namespace tarsel::platform {

using Path = std::filesystem::path;

// Windows: PROGRAMDATA when set and valid UTF-16 (an empty value counts as set).
// POSIX development host: PROGRAMDATA when set.
[[nodiscard]] std::optional<Path> program_data_directory();

// Windows: GetTempPath2W where kernel32 exports it (looked up once), else
// GetTempPathW. POSIX: TMPDIR when set, else /tmp. Nothing when the call fails.
[[nodiscard]] std::optional<Path> temp_directory();

// Appends one plain file name. Windows: after a backslash, which is left out
// when the base is empty, already ends in \ or /, or is a bare drive such as
// "C:". POSIX: after a slash, left out for an empty base or one ending in /.
[[nodiscard]] Path join_path(const Path& base, std::string_view name);

// The full path of the running executable, or the system error code.
[[nodiscard]] std::expected<Path, std::int32_t> executable_path();

// Creates the directory and every missing parent, level by level. A level that
// already exists is fine; any failure is returned as the system error code.
[[nodiscard]] std::expected<void, std::int32_t> create_directory_chain(const Path& directory);

// Path text: exact UTF-16 units on Windows; on POSIX the bytes decoded as UTF-8.
[[nodiscard]] std::u16string path_to_utf16(const Path& path);
// UTF-8 text of a path; an unpaired surrogate or invalid byte becomes U+FFFD.
[[nodiscard]] std::string path_to_utf8(const Path& path);

}  // namespace tarsel::platform
