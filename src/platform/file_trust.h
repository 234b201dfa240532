#pragma once

#include <cstdint>
#include <optional>

#include "platform/environment.h"

// What an opened file system object really is, and whether the helper may use
// it. The helper runs as LocalSystem in a folder where every local user may
// create files, so a name there may be a link, a second name of someone
// else's file, a pipe or a directory. Each rule lives here once; the paired
// files_*.cpp only gather the facts from an open handle and apply the rule
// before reading or writing through that same handle.
namespace tarsel::platform {

enum class ObjectKind : std::uint8_t {
    regular_file,  // a file on a disk
    directory,
    other,  // a pipe, FIFO, device, socket, or anything the system would not say
};

// Facts read from an open handle, never from the name again.
struct OpenedObject {
    ObjectKind kind = ObjectKind::other;
    // The open stopped at a symbolic link, junction or other reparse point
    // instead of following it.
    bool is_link = false;
    // How many names the object has; a second name can sit outside data_dir.
    std::uint64_t link_count = 0;
    // Where the system says the object is, resolving every link on the way;
    // nothing when it cannot say.
    std::optional<Path> final_path;
};

// A plain disk file, reached without following a link, that the system
// places at `intended`. Anything else is never read: a FIFO or device could
// block the loop forever, a pipe server could act on the reader's behalf, and
// a directory swapped for a link could lead anywhere.
[[nodiscard]] bool is_plain_file_at(const OpenedObject& object, const Path& intended);

// A plain file at `intended` whose only name is that one: truncating or
// writing it cannot reach a file that a user linked into place from elsewhere.
[[nodiscard]] bool is_plain_file_only_at(const OpenedObject& object, const Path& intended);

// A real directory, not a link, that the system places at `intended`: names
// joined to it stay inside it.
[[nodiscard]] bool is_real_directory_at(const OpenedObject& object, const Path& intended);

// Whether two absolute paths name the same place as the file system spells
// them. Windows: case-insensitive, with the \\?\ and \\?\UNC\ forms equal to
// the plain ones and trailing separators ignored. POSIX: byte for byte, apart
// from trailing slashes.
[[nodiscard]] bool same_file_system_path(const Path& a, const Path& b);

}  // namespace tarsel::platform
