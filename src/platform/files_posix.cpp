#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>

#include <algorithm>
#include <charconv>
#include <string>
#include <system_error>

#include "platform/directory_verdict.h"
#include "platform/file_trust.h"
#include "platform/files.h"
#include "platform/ownership_trust.h"
#include "platform/posix_checked_directory.h"
#include "platform/system_random.h"
#include "platform/posix_handles.h"
#include "platform/posix_io.h"
#include "platform/read_to_end.h"

namespace tarsel::platform {
namespace {

using posix::UniqueFd;

// O_NOFOLLOW refuses a symbolic link as the last name outright, and
// O_NONBLOCK lets a FIFO open at once (or fail) instead of waiting for a
// writer or reader that may never come; what was opened is then checked
// through the descriptor.
constexpr int kOpenGuarded = O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;

int open_retrying(const char* path, int flags, mode_t mode = 0) {
    return posix::retry_on_eintr([&] { return ::open(path, flags, mode); });
}

// Where a path leads when no link is on the way: the absolute path with "."
// and ".." taken away as text.
std::optional<Path> intended_path(const Path& path) {
    std::error_code error;
    Path absolute = std::filesystem::absolute(path, error);
    if (error) {
        return std::nullopt;
    }
    return absolute.lexically_normal();
}

// The kernel's own record of where the descriptor's object is, every link
// resolved, written into `out`, whose storage a caller that reads in every
// pass keeps from call to call. A deleted object reads as "... (deleted)" and
// so matches nothing.
bool final_path_into(int fd, std::string& out) {
    // "/proc/self/fd/" and a decimal int fit; std::to_string could allocate.
    char link[32] = "/proc/self/fd/";
    constexpr std::size_t kPrefix = sizeof "/proc/self/fd/" - 1;
    *std::to_chars(link + kPrefix, link + sizeof link - 1, fd).ptr = '\0';
    if (out.size() < 256) {
        out.resize(256);
    }
    for (;;) {
        const ssize_t n = ::readlink(link, out.data(), out.size());
        if (n < 0) {
            return false;
        }
        if (static_cast<std::size_t>(n) < out.size()) {
            out.resize(static_cast<std::size_t>(n));
            return true;
        }
        out.resize(out.size() * 2);
    }
}

std::optional<Path> final_path_of(int fd) {
    std::string text;
    if (!final_path_into(fd, text)) {
        return std::nullopt;
    }
    return Path(std::move(text));
}

// is_link stays false: with O_NOFOLLOW a link is never opened at all.
OpenedObject facts_of(int fd) {
    OpenedObject object;
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        return object;
    }
    if (S_ISREG(st.st_mode)) {
        object.kind = ObjectKind::regular_file;
    } else if (S_ISDIR(st.st_mode)) {
        object.kind = ObjectKind::directory;
    }
    object.link_count = static_cast<std::uint64_t>(st.st_nlink);
    object.final_path = final_path_of(fd);
    return object;
}

// same_file_system_path on the texts themselves.
std::string_view without_trailing_slashes(std::string_view text) {
    while (text.size() > 1 && text.back() == '/') {
        text.remove_suffix(1);
    }
    return text;
}

bool same_path_text(std::string_view a, std::string_view b) {
    return without_trailing_slashes(a) == without_trailing_slashes(b);
}

}  // namespace

bool same_file_system_path(const Path& a, const Path& b) {
    return same_path_text(a.native(), b.native());
}

RepeatedFileReader::RepeatedFileReader(Path path, std::size_t max_bytes)
    : path_(std::move(path)), max_bytes_(max_bytes), intended_(intended_path(path_)) {}

std::expected<std::string_view, ReadFailure> RepeatedFileReader::read() {
    UniqueFd file(open_retrying(path_.c_str(), O_RDONLY | kOpenGuarded));
    if (!file) {
        return std::unexpected(ReadFailure::open_failed);
    }
    // is_plain_file_at's rule, applied without an OpenedObject, whose Path
    // would cost allocations in every pass: a regular file (O_NOFOLLOW never
    // opens a link) that the kernel places where the name says.
    struct stat st {};
    if (::fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode) || !intended_) {
        return std::unexpected(ReadFailure::not_a_plain_file);
    }
    // Asking the kernel where the file is costs as much again as the open
    // and the read together. The object that passed that check last time,
    // unchanged since (a new name, a removed name or a write all move the
    // change time, and a file number reused for a new file comes with a new
    // one), needs no second look: whatever path led to it, its bytes are the
    // ones already accepted as command.json.
    const std::array<std::uint64_t, 3> identity{
        static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino),
        static_cast<std::uint64_t>(st.st_ctim.tv_sec) * 1'000'000'000u +
            static_cast<std::uint64_t>(st.st_ctim.tv_nsec)};
    if (identity != checked_identity_) {
        if (!final_path_into(file.get(), final_path_) ||
            !same_path_text(final_path_, intended_->native())) {
            return std::unexpected(ReadFailure::not_a_plain_file);
        }
        checked_identity_ = identity;
    }
    const std::uint64_t size_hint = st.st_size > 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
    return read_to_end(data_, size_hint, max_bytes_,
                       [&file](char* into, std::size_t request) -> std::optional<std::size_t> {
                           const ssize_t n = posix::retry_on_eintr(
                               [&] { return ::read(file.get(), into, request); });
                           if (n < 0) {
                               return std::nullopt;
                           }
                           return static_cast<std::size_t>(n);
                       });
}

namespace {

PosixOwnership ownership_of(const struct stat& st) {
    return {static_cast<std::uint32_t>(st.st_uid), static_cast<std::uint32_t>(st.st_mode & 07777)};
}

// The directory `path` names, opened as it is at this moment and checked: a
// real directory, not a link, that the kernel places where the name says,
// owned by root or the helper and not writable by others
// (is_trusted_posix). Names opened relative to the descriptor stay inside
// that directory, whatever later becomes of the path that led to it.
DirectoryVerdict check_directory(const Path& directory, UniqueFd& out) {
    UniqueFd handle(open_retrying(directory.c_str(), O_RDONLY | O_DIRECTORY | kOpenGuarded));
    if (!handle) {
        // ELOOP is a link in the directory's place, ENOTDIR something that
        // is not a directory at all: both are refused, not merely missing.
        return errno == ELOOP || errno == ENOTDIR ? DirectoryVerdict::foreign
                                                  : DirectoryVerdict::missing;
    }
    // A directory found elsewhere (a link further up the path) is refused
    // but not moved: moving it would not change where the path leads.
    const OpenedObject object = facts_of(handle.get());
    if (object.kind != ObjectKind::directory) {
        return DirectoryVerdict::foreign;
    }
    const std::optional<Path> intended = intended_path(directory);
    if (!intended || !is_real_directory_at(object, *intended)) {
        return DirectoryVerdict::refused;
    }
    struct stat st {};
    if (::fstat(handle.get(), &st) != 0) {
        return DirectoryVerdict::missing;
    }
    const PosixOwnership ownership = ownership_of(st);
    if (!is_trusted_posix(ownership, ::geteuid(), TrustedObject::directory)) {
        return ownership.owner_uid != 0 && ownership.owner_uid != ::geteuid()
                   ? DirectoryVerdict::foreign
                   : DirectoryVerdict::refused;
    }
    out = std::move(handle);
    return DirectoryVerdict::trusted;
}

// Opens `name` in `directory` for writing, creating it when missing.
UniqueFd open_in(int directory, const char* name, int extra_flags) {
    return UniqueFd(posix::retry_on_eintr([&] {
        return ::openat(directory, name, O_WRONLY | O_CREAT | kOpenGuarded | extra_flags, 0644);
    }));
}

// Another user's file in place of the document: its owner could rewrite it
// after the helper, so the name is removed through the checked directory and
// a new file made under it. A name someone else makes again in between is
// not opened: the exclusive create fails instead.
UniqueFd replace_foreign_file(int directory, const char* name) {
    if (::unlinkat(directory, name, 0) != 0 && errno != ENOENT) {
        return UniqueFd();
    }
    return open_in(directory, name, O_EXCL);
}

bool is_trusted_file(int fd) {
    struct stat st {};
    return ::fstat(fd, &st) == 0 &&
           is_trusted_posix(ownership_of(st), ::geteuid(), TrustedObject::file);
}

}  // namespace

std::expected<UniqueFd, WriteFailure> posix::open_checked_directory(const Path& directory) {
    UniqueFd handle;
    const DirectoryVerdict verdict = check_directory(directory, handle);
    return accept_directory(verdict, std::move(handle));
}

std::expected<void, WriteFailure> replace_file_content(const Path& path, std::string_view bytes) {
    const Path name = path.filename();
    if (name.empty() || name == "." || name == "..") {
        return std::unexpected(WriteFailure::open_failed);
    }
    // The file is created, when missing, inside its directory as checked just
    // now: were the directory's name swapped for a link at any moment, the
    // create would otherwise leave an empty file wherever the link points.
    const auto directory =
        posix::open_checked_directory(path.has_parent_path() ? path.parent_path() : Path("."));
    if (!directory) {
        return std::unexpected(directory.error());
    }
    // No O_TRUNC: the file is cut only once it has been checked, so a name
    // linked to someone else's file leaves that file as it was.
    UniqueFd file = open_in(directory->get(), name.c_str(), 0);
    if (!file) {
        return std::unexpected(WriteFailure::open_failed);
    }
    const std::optional<Path> intended = intended_path(path);
    if (!intended || !is_plain_file_only_at(facts_of(file.get()), *intended)) {
        return std::unexpected(WriteFailure::not_a_private_file);
    }
    if (!is_trusted_file(file.get())) {
        file = replace_foreign_file(directory->get(), name.c_str());
        if (!file) {
            return std::unexpected(WriteFailure::open_failed);
        }
        if (!is_plain_file_only_at(facts_of(file.get()), *intended) ||
            !is_trusted_file(file.get())) {
            return std::unexpected(WriteFailure::not_a_private_file);
        }
    }
    if (posix::retry_on_eintr([&] { return ::ftruncate(file.get(), 0); }) != 0 ||
        !posix::write_all(file.get(), bytes) || !posix::close_reporting(file)) {
        return std::unexpected(WriteFailure::write_failed);
    }
    return {};
}

bool is_unredirected_directory(const Path& directory) {
    return posix::open_checked_directory(directory).has_value();
}

bool prepare_data_directory(const Path& directory) {
    (void)create_directory_chain(directory);
    UniqueFd handle;
    if (const DirectoryVerdict verdict = check_directory(directory, handle);
        verdict != DirectoryVerdict::foreign) {
        return verdict == DirectoryVerdict::trusted;
    }
    // Someone else's object holds the name: it moves aside, within the same
    // parent, under a name no one can guess, and the helper makes its own.
    const Path name = directory.filename();
    const auto suffix = system_random_hex(8);
    if (name.empty() || !suffix) {
        return false;
    }
    const Path parent_path = directory.has_parent_path() ? directory.parent_path() : Path(".");
    const UniqueFd parent(open_retrying(parent_path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    const std::string aside = name.native() + ".untrusted-" + *suffix;
    if (!parent || ::renameat(parent.get(), name.c_str(), parent.get(), aside.c_str()) != 0) {
        return false;
    }
    (void)create_directory_chain(directory);
    return check_directory(directory, handle) == DirectoryVerdict::trusted;
}

HandedFile check_handed_file(const Path& path) {
    const UniqueFd file(open_retrying(path.c_str(), O_RDONLY | kOpenGuarded));
    if (!file) {
        return errno == ENOENT ? HandedFile::missing : HandedFile::not_plain;
    }
    const std::optional<Path> intended = intended_path(path);
    return intended && is_plain_file_only_at(facts_of(file.get()), *intended)
               ? HandedFile::plain
               : HandedFile::not_plain;
}

bool path_exists(const Path& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

}  // namespace tarsel::platform
