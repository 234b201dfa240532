#include <windows.h>
#include <aclapi.h>
#include <sddl.h>
#include <winternl.h>

#include <algorithm>
#include <array>
#include <string>
#include <vector>

#include "platform/directory_verdict.h"
#include "platform/file_trust.h"
#include "platform/files.h"
#include "platform/nt_open_status.h"
#include "platform/ownership_trust.h"
#include "platform/system_random.h"
#include "platform/text.h"
#include "platform/read_to_end.h"
#include "platform/win32_checked_directory.h"
#include "platform/win32_handles.h"
#include "platform/win32_io.h"

namespace tarsel::platform {
namespace {

using win32::grow_and_fill;
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

// NtCreateFile for `name`, with kOpenGuarded's rules (no reparse point
// followed, identification only): inside the open `directory`, resolved from
// that handle rather than from a path, or, with no directory, a full NT path.
// An open that would wait for another handle's oplock to break returns at
// once instead (FILE_COMPLETE_IF_OPLOCKED), and counts as failed
// (nt_open_outcome). `status`, when given, receives NtCreateFile's answer;
// `options` says what may be opened and how the handle does its I/O (a file
// only, synchronously, unless told otherwise).
// Nothing here allocates: the loop opens command.json this way on every pass.
constexpr ULONG kFileForSynchronousIo = FILE_NON_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT;
constexpr NTSTATUS kStatusAccessDenied = static_cast<NTSTATUS>(0xC0000022);
UniqueFile open_in(HANDLE directory, const std::wstring& name, ACCESS_MASK access,
                   ULONG disposition, NTSTATUS* status_out = nullptr,
                   ULONG options = kFileForSynchronousIo) {
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
    constexpr ULONG kCompleteIfOplocked = 0x00000100;
    const NTSTATUS status = ::NtCreateFile(
        &opened, access | SYNCHRONIZE, &attributes, &io, nullptr, FILE_ATTRIBUTE_NORMAL, kShareAll,
        disposition,
        options | FILE_OPEN_REPARSE_POINT | kCompleteIfOplocked,
        nullptr, 0);
    if (status_out != nullptr) {
        *status_out = status;
    }
    UniqueFile file(nt_open_returned_handle(status) ? opened : INVALID_HANDLE_VALUE);
    if (nt_open_outcome(status) != NtOpenOutcome::opened) {
        file.reset();
    }
    return file;
}

// The NT path CreateFileW would open for `path` (\??\C:\..., \??\UNC\...),
// or nothing when the system cannot make one.
std::wstring nt_path_of(const Path& path) {
    UNICODE_STRING converted{};
    if (!::RtlDosPathNameToNtPathName_U(path.c_str(), &converted, nullptr, nullptr)) {
        return std::wstring();
    }
    std::wstring text(converted.Buffer, converted.Length / sizeof(wchar_t));
    ::RtlFreeUnicodeString(&converted);
    return text;
}

std::optional<Path> intended_file_path(const Path& path);

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
// The NT path for the open on each pass is made here, once: a pass that
// finds the command already answered allocates nothing.
RepeatedFileReader::RepeatedFileReader(Path path, std::size_t max_bytes)
    : path_(std::move(path)), max_bytes_(max_bytes), nt_path_(nt_path_of(path_)) {}

std::expected<std::string_view, ReadFailure> RepeatedFileReader::read() {
    // A user's oplock on command.json being broken, like a missing file,
    // means no command this pass.
    UniqueFile file;
    if (!nt_path_.empty()) {
        file = open_in(nullptr, nt_path_, GENERIC_READ, FILE_OPEN);
    }
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
        const std::optional<Path> intended = intended_file_path(path_);
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

namespace {

std::optional<std::string> sid_text(PSID sid) {
    LPWSTR text = nullptr;
    if (sid == nullptr || !::ConvertSidToStringSidW(sid, &text)) {
        return std::nullopt;
    }
    std::string utf8 = utf16_to_utf8_lossy(
        std::u16string_view(reinterpret_cast<const char16_t*>(text), ::wcslen(text)));
    ::LocalFree(text);
    return utf8;
}

// The helper's own token user, read once: the account it runs as does not
// change while it runs.
const std::string& helper_sid() {
    static const std::string sid = [] {
        HANDLE token = nullptr;
        if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) {
            return std::string();
        }
        const win32::UniqueKernelObject owned(token);
        alignas(TOKEN_USER) unsigned char buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
        DWORD size = 0;
        if (!::GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &size)) {
            return std::string();
        }
        return sid_text(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid).value_or(std::string());
    }();
    return sid;
}

// The owner and DACL of the object behind `handle`, which must have been
// opened with READ_CONTROL; an unreadable owner is left empty.
SecurityFacts security_of(HANDLE handle) {
    SecurityFacts facts;
    PSID owner = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (::GetSecurityInfo(handle, SE_FILE_OBJECT,
                          OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner, nullptr,
                          &dacl, nullptr, &descriptor) != ERROR_SUCCESS) {
        return facts;
    }
    facts.owner_sid = sid_text(owner);
    facts.has_dacl = dacl != nullptr;
    for (DWORD i = 0; dacl != nullptr && i < dacl->AceCount; ++i) {
        void* raw = nullptr;
        if (!::GetAce(dacl, i, &raw)) {
            facts.owner_sid.reset();  // an ACL that cannot be walked is not trusted
            break;
        }
        const auto* header = static_cast<const ACE_HEADER*>(raw);
        // Every ACE type keeps its mask right after the header; only the
        // plain allow and deny types keep the SID right after the mask.
        const auto* entry = static_cast<const ACCESS_ALLOWED_ACE*>(raw);
        AccessEntry fact;
        fact.mask = entry->Mask;
        fact.inherit_only = (header->AceFlags & INHERIT_ONLY_ACE) != 0;
        if (header->AceType == ACCESS_ALLOWED_ACE_TYPE ||
            header->AceType == ACCESS_DENIED_ACE_TYPE) {
            fact.kind =
                header->AceType == ACCESS_ALLOWED_ACE_TYPE ? AceKind::allow : AceKind::deny;
            fact.sid = sid_text(const_cast<DWORD*>(&entry->SidStart)).value_or(std::string());
        } else {
            fact.kind = AceKind::other;
        }
        facts.dacl.push_back(std::move(fact));
    }
    ::LocalFree(descriptor);
    return facts;
}

// Where `directory` must be. An administrator may have moved ProgramData
// behind a junction or mount point; a link above data_dir is followed only
// when the directory it leads to has a trusted owner, and data_dir is then
// that directory's final path joined with its own name.
std::optional<Path> intended_directory_path(const Path& directory) {
    if (directory.has_parent_path() && directory.has_filename()) {
        const UniqueFile base(::CreateFileW(directory.parent_path().c_str(),
                                            FILE_READ_ATTRIBUTES | READ_CONTROL, kShareAll,
                                            nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                                            nullptr));
        if (base) {
            const SecurityFacts facts = security_of(base.get());
            if (facts.owner_sid && is_trusted_account(*facts.owner_sid, helper_sid())) {
                if (auto final_base = final_path_of(base.get())) {
                    return *final_base / directory.filename();
                }
            }
        }
    }
    return intended_path(directory);
}

// Where a file in a directory must be: where its directory must be, joined
// with its name, so that an administrator's link above data_dir leads to the
// documents as it leads to the directory.
std::optional<Path> intended_file_path(const Path& path) {
    if (!path.has_parent_path() || !path.has_filename()) {
        return intended_path(path);
    }
    std::optional<Path> directory = intended_directory_path(path.parent_path());
    if (!directory) {
        return std::nullopt;
    }
    return *directory / path.filename();
}

// The directory `path` names, opened as it is at this moment with `access`,
// the attributes and READ_CONTROL (for the owner and DACL), for overlapped
// I/O when `flags` says FILE_FLAG_OVERLAPPED, then checked as
// win32::open_checked_directory says. Whatever holds the name is opened as
// itself, a file or a reparse point too, to be told apart; a user's file
// there may carry a batch oplock, which this open would otherwise wait on
// until they let go, so it returns at once instead and the name counts as
// missing this pass.
struct CheckedDirectory {
    UniqueFile handle;
    Path final_path;  // where the system places it, as the check found
};
DirectoryVerdict check_directory(const Path& directory, DWORD access, DWORD flags,
                                 CheckedDirectory& out) {
    const ULONG io = (flags & FILE_FLAG_OVERLAPPED) != 0 ? 0 : FILE_SYNCHRONOUS_IO_NONALERT;
    NTSTATUS status = 0;
    UniqueFile handle = open_in(nullptr, nt_path_of(directory),
                                access | FILE_READ_ATTRIBUTES | READ_CONTROL, FILE_OPEN, &status,
                                FILE_OPEN_FOR_BACKUP_INTENT | io);
    if (!handle) {
        // A user's directory whose DACL shuts the helper out is theirs too.
        return status == kStatusAccessDenied ? DirectoryVerdict::foreign
                                             : DirectoryVerdict::missing;
    }
    const OpenedObject object = facts_of(handle.get());
    if (object.kind != ObjectKind::directory || object.is_link) {
        return DirectoryVerdict::foreign;
    }
    const std::optional<Path> intended = intended_directory_path(directory);
    if (!intended || !is_real_directory_at(object, *intended)) {
        return DirectoryVerdict::refused;
    }
    const SecurityFacts security = security_of(handle.get());
    if (!is_trusted_security(security, helper_sid(), TrustedObject::directory)) {
        return security.owner_sid && is_trusted_account(*security.owner_sid, helper_sid())
                   ? DirectoryVerdict::refused
                   : DirectoryVerdict::foreign;
    }
    out.handle = std::move(handle);
    out.final_path = *object.final_path;
    return DirectoryVerdict::trusted;
}

// Another user's file in place of the document: its owner could rewrite it
// after the helper. It is deleted through a handle opened relative to the
// checked directory (the directory's FILE_DELETE_CHILD grants DELETE whatever
// the file's own DACL says), with POSIX semantics so the name goes at once
// even while others hold the file open, and a new file is created under the
// name, inheriting the directory's ACL. A name someone made again in between
// is not opened: the create fails instead.
UniqueFile replace_foreign_file(HANDLE directory, const std::wstring& name) {
    {
        const UniqueFile doomed = open_in(directory, name, DELETE, FILE_OPEN);
        if (doomed) {
            FILE_DISPOSITION_INFO_EX posix{};
            posix.Flags = FILE_DISPOSITION_FLAG_DELETE | FILE_DISPOSITION_FLAG_POSIX_SEMANTICS;
            // FileDispositionInfoEx, which MinGW's headers do not name.
            constexpr auto kDispositionInfoEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);
            if (!::SetFileInformationByHandle(doomed.get(), kDispositionInfoEx, &posix,
                                              sizeof posix)) {
                FILE_DISPOSITION_INFO classic{};
                classic.DeleteFile = TRUE;
                (void)::SetFileInformationByHandle(doomed.get(), FileDispositionInfo, &classic,
                                                   sizeof classic);
            }
        }
    }
    return open_in(directory, name, GENERIC_WRITE | FILE_READ_ATTRIBUTES | READ_CONTROL,
                   FILE_CREATE);
}

}  // namespace

std::expected<UniqueFile, WriteFailure> win32::open_checked_directory(const Path& directory,
                                                                      DWORD access, DWORD flags) {
    CheckedDirectory checked;
    const DirectoryVerdict verdict = check_directory(directory, access, flags, checked);
    return accept_directory(verdict, std::move(checked.handle));
}

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
    CheckedDirectory checked;
    const DirectoryVerdict verdict = check_directory(
        path.has_parent_path() ? path.parent_path() : Path(L"."), FILE_TRAVERSE, 0, checked);
    const auto directory = accept_directory(verdict, std::move(checked.handle));
    if (!directory) {
        return std::unexpected(directory.error());
    }
    // The directory was just found where it must be, so the file must be at
    // its final path joined with the name.
    const Path intended = checked.final_path / name;
    // Open-always opens an existing file as it is: nothing is cut before the
    // checks, so a second name of someone else's file leaves that file whole.
    // It also keeps an existing file's attributes, which a create-always
    // would refuse for a hidden or system file. Reading the attributes back
    // needs FILE_READ_ATTRIBUTES, which GENERIC_WRITE lacks and which sharing
    // does not govern.
    NTSTATUS status = 0;
    UniqueFile file = open_in(directory->get(), name,
                              GENERIC_WRITE | FILE_READ_ATTRIBUTES | READ_CONTROL, FILE_OPEN_IF,
                              &status);
    // A file whose DACL shuts the helper out, or whose owner or DACL lets
    // another user write it, is never written: a new one takes its name.
    // Any other failed open (a reader without write sharing, an oplock being
    // broken) fails this write, as it always has.
    bool replace = !file && status == kStatusAccessDenied;
    if (file &&
        !is_trusted_security(security_of(file.get()), helper_sid(), TrustedObject::file)) {
        if (!is_plain_file_only_at(facts_of(file.get()), intended)) {
            return std::unexpected(WriteFailure::not_a_private_file);
        }
        replace = true;
    }
    if (replace) {
        file.reset();
        file = replace_foreign_file(directory->get(), name);
        // The new file inherits the directory's ACL; one that would still let
        // others write it is refused rather than written.
        if (file &&
            !is_trusted_security(security_of(file.get()), helper_sid(), TrustedObject::file)) {
            return std::unexpected(WriteFailure::not_a_private_file);
        }
    }
    if (!file) {
        return std::unexpected(WriteFailure::open_failed);
    }
    if (!is_plain_file_only_at(facts_of(file.get()), intended)) {
        return std::unexpected(WriteFailure::not_a_private_file);
    }
    if (!::SetEndOfFile(file.get())) {
        return std::unexpected(WriteFailure::write_failed);
    }
    if (!win32::write_all(file.get(), bytes)) {
        return std::unexpected(WriteFailure::write_failed);
    }
    if (!::CloseHandle(file.release())) {
        return std::unexpected(WriteFailure::write_failed);
    }
    return {};
}

bool is_unredirected_directory(const Path& directory) {
    return win32::open_checked_directory(directory, FILE_TRAVERSE).has_value();
}

bool prepare_data_directory(const Path& directory) {
    (void)create_directory_chain(directory);
    CheckedDirectory checked;
    if (const DirectoryVerdict verdict = check_directory(directory, FILE_TRAVERSE, 0, checked);
        verdict != DirectoryVerdict::foreign) {
        return verdict == DirectoryVerdict::trusted;
    }
    // Someone else's object holds the name: it moves aside, within the same
    // parent, under a name no one can guess, and the helper makes its own.
    // The rename goes through a handle on that very object, the reparse point
    // itself when it is one; DELETE comes from the parent's FILE_DELETE_CHILD.
    // An open that meets an oplock its owner holds on it (a batch oplock on a
    // file in data_dir's place) returns at once instead of waiting for them
    // to let go, which they need never do, and the move is tried again on the
    // next pass.
    const auto suffix = system_random_hex(8);
    if (!suffix || !directory.has_filename()) {
        return false;
    }
    {
        const UniqueFile object =
            open_in(nullptr, nt_path_of(directory), DELETE, FILE_OPEN, nullptr,
                    FILE_OPEN_FOR_BACKUP_INTENT | FILE_SYNCHRONOUS_IO_NONALERT);
        if (!object) {
            return false;
        }
        const std::wstring target =
            directory.native() + L".untrusted-" + std::wstring(suffix->begin(), suffix->end());
        std::vector<unsigned char> buffer(sizeof(FILE_RENAME_INFO) + target.size() * sizeof(wchar_t));
        auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
        rename->ReplaceIfExists = FALSE;
        rename->RootDirectory = nullptr;
        rename->FileNameLength = static_cast<DWORD>(target.size() * sizeof(wchar_t));
        std::copy(target.begin(), target.end(), rename->FileName);
        if (!::SetFileInformationByHandle(object.get(), FileRenameInfo, rename,
                                          static_cast<DWORD>(buffer.size()))) {
            return false;
        }
    }
    (void)create_directory_chain(directory);
    return check_directory(directory, FILE_TRAVERSE, 0, checked) == DirectoryVerdict::trusted;
}

HandedFile check_handed_file(const Path& path) {
    // Attribute access alone breaks no oplock and needs no read right.
    const UniqueFile file(::CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr,
                                        OPEN_EXISTING, kOpenGuarded, nullptr));
    if (!file) {
        const DWORD error = ::GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND
                   ? HandedFile::missing
                   : HandedFile::not_plain;
    }
    const std::optional<Path> intended = intended_file_path(path);
    return intended && is_plain_file_only_at(facts_of(file.get()), *intended)
               ? HandedFile::plain
               : HandedFile::not_plain;
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
