#include <windows.h>
#include <winternl.h>

#include <algorithm>
#include <array>
#include <string>

#include "platform/file_trust.h"
#include "platform/files.h"
#include "platform/read_to_end.h"
#include "platform/win32_checked_directory.h"
#include "platform/win32_handles.h"

namespace tarsel::platform {
namespace {

using win32::UniqueFile;

// The client may read, rewrite or delete either document at any moment; the
// helper must never lock it out.
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Every open in data_dir stops at a reparse point as the last name instead of
// following it, and allows the far end, should the name reach a user's named
// pipe server, only to identify the helper: impersonating LocalSystem would
// hand that user the machine.
constexpr DWORD kOpenGuarded =
    FILE_FLAG_OPEN_REPARSE_POINT | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION;

// Calls `fill(buffer, size)` until the text fits; nothing when it fails.
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
        buffer.resize(n + 1);
    }
}

// Where a path leads when no link is on the way: the full path, with 8.3
// short names spelled out as the system's own final paths spell them. Short
// names are looked up in directory entries, which names no reparse target.
std::optional<Path> intended_path(const Path& path) {
    const auto full = grow_and_fill([&](wchar_t* buffer, DWORD size) {
        return ::GetFullPathNameW(path.c_str(), size, buffer, nullptr);
    });
    if (!full) {
        return std::nullopt;
    }
    const auto long_form = grow_and_fill([&](wchar_t* buffer, DWORD size) {
        return ::GetLongPathNameW(full->c_str(), buffer, size);
    });
    return Path(long_form.value_or(*full));
}

std::optional<Path> final_path_of(HANDLE handle) {
    const auto final_path = grow_and_fill([&](wchar_t* buffer, DWORD size) {
        return ::GetFinalPathNameByHandleW(handle, buffer, size,
                                           FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    });
    if (!final_path) {
        return std::nullopt;
    }
    return Path(*final_path);
}

OpenedObject facts_of(HANDLE handle) {
    OpenedObject object;
    // A pipe, console or other device: its attributes would say nothing true.
    if (::GetFileType(handle) != FILE_TYPE_DISK) {
        return object;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (!::GetFileInformationByHandle(handle, &info)) {
        return object;
    }
    object.kind = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0
                      ? ObjectKind::directory
                      : ObjectKind::regular_file;
    object.is_link = (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    object.link_count = info.nNumberOfLinks;
    object.final_path = final_path_of(handle);
    return object;
}

// The plain spelling of a path: without the \\?\ prefix that final paths
// carry, with \\?\UNC\server\share as \\server\share, and without trailing
// separators past the root.
std::wstring comparable(const Path& path) {
    std::wstring text = path.native();
    constexpr std::wstring_view kUnc = L"\\\\?\\UNC\\";
    constexpr std::wstring_view kVerbatim = L"\\\\?\\";
    if (text.starts_with(kUnc)) {
        text.replace(0, kUnc.size(), L"\\\\");
    } else if (text.starts_with(kVerbatim)) {
        text.erase(0, kVerbatim.size());
    }
    std::replace(text.begin(), text.end(), L'/', L'\\');
    while (text.size() > 3 && text.back() == L'\\') {
        text.pop_back();
    }
    return text;
}

}  // namespace

bool same_file_system_path(const Path& a, const Path& b) {
    const std::wstring left = comparable(a);
    const std::wstring right = comparable(b);
    // The file system's own rule for names: ordinal, ignoring case by the
    // system's upper-case table, not by any locale.
    return ::CompareStringOrdinal(left.data(), static_cast<int>(left.size()), right.data(),
                                  static_cast<int>(right.size()), TRUE) == CSTR_EQUAL;
}

// Where the file must be is worked out at each full check rather than once:
// a short 8.3 name in the path only resolves to its long form once the file
// exists.
RepeatedFileReader::RepeatedFileReader(Path path, std::size_t max_bytes)
    : path_(std::move(path)), max_bytes_(max_bytes) {}

std::expected<std::string_view, ReadFailure> RepeatedFileReader::read() {
    UniqueFile file(::CreateFileW(path_.c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                                  kOpenGuarded, nullptr));
    if (!file) {
        return std::unexpected(ReadFailure::open_failed);
    }
    // is_plain_file_at's rule, first the parts that cost no allocation: a
    // disk file (not a pipe or device), not a directory, not a reparse point.
    BY_HANDLE_FILE_INFORMATION info{};
    FILE_BASIC_INFO basic{};
    if (::GetFileType(file.get()) != FILE_TYPE_DISK ||
        !::GetFileInformationByHandle(file.get(), &info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0 ||
        !::GetFileInformationByHandleEx(file.get(), FileBasicInfo, &basic, sizeof basic)) {
        return std::unexpected(ReadFailure::not_a_plain_file);
    }
    // Then where the system places the file, which builds paths. The object
    // that passed that check last time, unchanged since (a write moves its
    // change time, and a new file has a new file index), needs no second
    // look: whatever path led to it, its bytes are the ones already accepted
    // as command.json.
    const std::array<std::uint64_t, 3> identity{
        info.dwVolumeSerialNumber,
        (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow,
        static_cast<std::uint64_t>(basic.ChangeTime.QuadPart)};
    if (identity != checked_identity_) {
        const std::optional<Path> intended = intended_path(path_);
        if (!intended || !is_plain_file_at(facts_of(file.get()), *intended)) {
            return std::unexpected(ReadFailure::not_a_plain_file);
        }
        checked_identity_ = identity;
    }
    const std::uint64_t size =
        (static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    return read_to_end(
        data_, size, max_bytes_,
        [&file](char* into, std::size_t request) -> std::optional<std::size_t> {
            DWORD n = 0;
            if (!::ReadFile(file.get(), into, static_cast<DWORD>(request), &n, nullptr)) {
                return std::nullopt;
            }
            return n;
        });
}

// Backup semantics are what let CreateFileW open a directory at all.
std::expected<UniqueFile, WriteFailure> win32::open_checked_directory(const Path& directory,
                                                                      DWORD access, DWORD flags) {
    UniqueFile handle(::CreateFileW(directory.c_str(), access | FILE_READ_ATTRIBUTES, kShareAll,
                                    nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS | kOpenGuarded | flags, nullptr));
    if (!handle) {
        return std::unexpected(WriteFailure::open_failed);
    }
    const std::optional<Path> intended = intended_path(directory);
    if (!intended || !is_real_directory_at(facts_of(handle.get()), *intended)) {
        return std::unexpected(WriteFailure::not_a_private_file);
    }
    return handle;
}

namespace {

// CreateFileW's OPEN_ALWAYS with kOpenGuarded, for the name `name` inside the
// open `directory`: the same access, sharing, reparse-point and
// identification-only rules, resolved from the directory handle rather than
// from a path.
UniqueFile open_always_in(HANDLE directory, const std::wstring& name) {
    UNICODE_STRING object_name{};
    object_name.Buffer = const_cast<wchar_t*>(name.c_str());
    object_name.Length = static_cast<USHORT>(name.size() * sizeof(wchar_t));
    object_name.MaximumLength = object_name.Length;
    SECURITY_QUALITY_OF_SERVICE quality{};
    quality.Length = sizeof quality;
    quality.ImpersonationLevel = SecurityIdentification;
    quality.ContextTrackingMode = SECURITY_STATIC_TRACKING;
    quality.EffectiveOnly = FALSE;
    OBJECT_ATTRIBUTES attributes{};
    attributes.Length = sizeof attributes;
    attributes.RootDirectory = directory;
    attributes.ObjectName = &object_name;
    attributes.Attributes = OBJ_CASE_INSENSITIVE;
    attributes.SecurityQualityOfService = &quality;
    IO_STATUS_BLOCK io{};
    HANDLE opened = INVALID_HANDLE_VALUE;
    const NTSTATUS status = ::NtCreateFile(
        &opened, GENERIC_WRITE | FILE_READ_ATTRIBUTES | SYNCHRONIZE, &attributes, &io, nullptr,
        FILE_ATTRIBUTE_NORMAL, kShareAll, FILE_OPEN_IF,
        FILE_NON_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT | FILE_OPEN_REPARSE_POINT, nullptr,
        0);
    return UniqueFile(status >= 0 ? opened : INVALID_HANDLE_VALUE);
}

}  // namespace

std::expected<void, WriteFailure> replace_file_content(const Path& path, std::string_view bytes) {
    const std::wstring name = path.filename().native();
    // A relative open takes one plain name; anything else is no document.
    if (name.empty() || name == L"." || name == L".." ||
        name.find_first_of(L"\\/:") != std::wstring::npos ||
        name.size() * sizeof(wchar_t) > 0xFFFE) {
        return std::unexpected(WriteFailure::open_failed);
    }
    // The file is created, when missing, inside its directory as checked just
    // now: were the directory swapped for a junction or link at any moment,
    // the create would otherwise leave an empty file wherever it points.
    // Traversal is what a relative open goes through.
    const auto directory = win32::open_checked_directory(
        path.has_parent_path() ? path.parent_path() : Path(L"."), FILE_TRAVERSE);
    if (!directory) {
        return std::unexpected(directory.error());
    }
    // Open-always opens an existing file as it is: nothing is cut before the
    // checks, so a second name of someone else's file leaves that file whole.
    // It also keeps an existing file's attributes, which a create-always
    // would refuse for a hidden or system file. Reading the attributes back
    // needs FILE_READ_ATTRIBUTES, which GENERIC_WRITE lacks and which sharing
    // does not govern.
    UniqueFile file = open_always_in(directory->get(), name);
    if (!file) {
        return std::unexpected(WriteFailure::open_failed);
    }
    const std::optional<Path> intended = intended_path(path);
    if (!intended || !is_plain_file_only_at(facts_of(file.get()), *intended)) {
        return std::unexpected(WriteFailure::not_a_private_file);
    }
    if (!::SetEndOfFile(file.get())) {
        return std::unexpected(WriteFailure::write_failed);
    }
    while (!bytes.empty()) {
        DWORD n = 0;
        const auto request = static_cast<DWORD>(std::min(bytes.size(), kMaxTransfer));
        if (!::WriteFile(file.get(), bytes.data(), request, &n, nullptr)) {
            return std::unexpected(WriteFailure::write_failed);
        }
        if (n == 0) {
            // Retrying a write that takes nothing could spin forever.
            return std::unexpected(WriteFailure::write_failed);
        }
        bytes.remove_prefix(n);
    }
    if (!::CloseHandle(file.release())) {
        return std::unexpected(WriteFailure::write_failed);
    }
    return {};
}

bool is_unredirected_directory(const Path& directory) {
    return win32::open_checked_directory(directory, FILE_TRAVERSE).has_value();
}

bool path_exists(const Path& path) {
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        return false;
    }
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
        return true;
    }
    // A symbolic link reports its own attributes even when its target is
    // gone; only opening through it tells whether the target is there.
    // Backup semantics let the open succeed for a directory too.
    const UniqueFile target(::CreateFileW(path.c_str(), 0, kShareAll, nullptr, OPEN_EXISTING,
                                          FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    return target.valid();
}

}  // namespace tarsel::platform
