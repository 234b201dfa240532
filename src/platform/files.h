#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "platform/environment.h"

// Whole-file reads and writes for the two exchange documents, and the check
// of the directory that holds them. Any local user may create, replace or
// link names in that directory, so every function here decides through the
// handle it opened (see file_trust.h) and never trusts the name a second
// time. Both files open with sharing for read, write and delete, so the client
// is never locked out.
namespace tarsel::platform {

enum class ReadFailure {
    // Missing, not accessible, or not openable; on Windows also held by an
    // oplock that is being broken, which the open does not wait for.
    open_failed,
    not_a_plain_file,  // a link, pipe, FIFO, device or directory, or found elsewhere
    read_failed,
    too_large,  // more than the caller's limit
};

// Reads the whole file, at most `max_bytes`, when the object at `path` is a
// plain file found at that very path (is_plain_file_at). The last name is
// opened without following a link and without blocking, and a pipe server
// reached through it can only identify the helper, never act as it. The
// current size is only a first guess for the buffer; the read goes on until
// end of file.
[[nodiscard]] std::expected<std::string, ReadFailure> read_whole_file(const Path& path,
                                                                      std::size_t max_bytes);

// Reads one file again and again, as read_whole_file does, keeping its
// buffers from one read to the next: once they have grown to fit, reading an
// unchanged file allocates nothing. The loop reads command.json every 300 ms
// for the life of the machine, so that pass must cost no more than the I/O.
// Where the system places the opened file is asked only when the file is not
// the one that passed that check last time, unchanged.
class RepeatedFileReader {
  public:
    RepeatedFileReader(Path path, std::size_t max_bytes);

    // The file's whole content, valid until the next read.
    [[nodiscard]] std::expected<std::string_view, ReadFailure> read();

  private:
    Path path_;
    std::size_t max_bytes_;
    // Windows: the path as the system's own open takes it, made once, so
    // that a pass opens the file without building a path.
    Path::string_type nt_path_;
    // POSIX: where the file must be, worked out once, when the reader is
    // made, and where the kernel says the opened file is.
    std::optional<Path> intended_;
    Path::string_type final_path_;
    // The last opened file that passed the checks, as the system identifies
    // it (device, file number, change time); nothing until one has passed.
    std::optional<std::array<std::uint64_t, 3>> checked_identity_;
    std::string data_;
};

enum class WriteFailure {
    open_failed,
    not_a_private_file,  // would write through a link, a second name or elsewhere
    write_failed,
};

// Opens `path` for writing without truncating and without following a link at
// its last name, creating the file when it is missing. The name is opened
// relative to a handle on its directory, taken just before and checked as
// is_unredirected_directory checks, so a directory swapped for a link meanwhile
// cannot lead the create elsewhere. Only when the object
// opened is a plain file whose only name is `path` (is_plain_file_only_at) is
// it cut to zero length and written, through that same handle; otherwise
// nothing in it changes. A plain file that another user owns or may write
// (ownership_trust.h) is never written: its name is deleted through the
// checked directory and a new file created in its place. Every byte is
// written, resuming partial and interrupted writes.
[[nodiscard]] std::expected<void, WriteFailure> replace_file_content(const Path& path,
                                                                     std::string_view bytes);

// True when `directory` opens as a real directory, not a link, that the
// system places at `directory` itself (is_real_directory_at): nothing a user
// redirected; and that no one but the helper and the system's administrators
// may take, move, re-permission or empty (ownership_trust.h). Windows reads
// the owner and DACL through the handle it checked; POSIX the owner and mode.
[[nodiscard]] bool is_unredirected_directory(const Path& directory);

// Makes sure data_dir is the helper's own: creates it (and its parents) when
// missing, then checks it as is_unredirected_directory does. When the name
// holds someone else's object (a directory another user made first, a link,
// a file), that object is renamed aside within the same parent, to
// "<name>.untrusted-<16 random hex digits>", and a fresh directory is made in
// its place and checked again. Open handles and entries the other user
// planted stay with the old object. A directory with a trusted owner whose
// ACL or mode lets others in is refused as it is: only a trusted account
// can have made it so. True when the directory may be served.
[[nodiscard]] bool prepare_data_directory(const Path& directory);

// What stands at `path`, for a file the helper hands by name to a program
// that reads it with the helper's rights: nothing, a plain file whose only
// name is `path` (is_plain_file_only_at), or anything else (a link or
// reparse point, a second name of a file elsewhere, a directory, a device),
// which such a program must not be pointed at. Decided through a handle
// opened without following a link and with attribute access only.
enum class HandedFile { missing, plain, not_plain };
[[nodiscard]] HandedFile check_handed_file(const Path& path);

// True when the file system reports attributes for the path, following
// symbolic links. A directory counts; every error counts as absent.
[[nodiscard]] bool path_exists(const Path& path);

}  // namespace tarsel::platform
