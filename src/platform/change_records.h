#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

// The walk over what one ReadDirectoryChangesW read returns: a chain of
// FILE_NOTIFY_INFORMATION records, each {NextEntryOffset, Action,
// FileNameLength, FileName[]}, packed into the caller's buffer. The walk
// trusts no field: every record, and every name in it, must lie wholly inside
// the bytes the read reported, and each next record must start past the one
// before. A chain that breaks a rule counts as a change, so a short count or a
// malformed record costs one wasted pass and never a read past the buffer.
namespace tarsel::platform {

enum class ChangeRecords : std::uint8_t {
    names_file,        // a record names the watched file
    other_files_only,  // every record is well formed and names another file
    lost_count,        // nothing reported, or the records cannot be trusted
};

inline constexpr std::size_t kChangeRecordHeaderBytes = 12;  // three DWORDs

// `same_name(name)` is asked for each record's name, given as its bytes (an
// even count of bytes at an even offset: UTF-16 units); it says whether that
// is the watched file's name.
template <class SameName>
[[nodiscard]] ChangeRecords walk_change_records(std::span<const std::byte> bytes,
                                                SameName&& same_name) {
    if (bytes.empty()) {
        return ChangeRecords::lost_count;  // the system lost count of the changes
    }
    const auto field = [&](std::size_t at) {
        std::uint32_t value = 0;
        std::memcpy(&value, bytes.data() + at, sizeof value);
        return value;
    };
    std::size_t at = 0;
    for (;;) {
        if (bytes.size() - at < kChangeRecordHeaderBytes) {
            return ChangeRecords::lost_count;
        }
        const std::uint32_t next = field(at);
        const std::uint32_t name_bytes = field(at + 8);
        const std::size_t room = bytes.size() - at - kChangeRecordHeaderBytes;
        if (name_bytes % 2 != 0 || name_bytes > room) {
            return ChangeRecords::lost_count;
        }
        if (same_name(bytes.subspan(at + kChangeRecordHeaderBytes, name_bytes))) {
            return ChangeRecords::names_file;
        }
        if (next == 0) {
            return ChangeRecords::other_files_only;
        }
        // Records do not overlap, and each starts at an even offset so its
        // name stays aligned for UTF-16. Windows aligns them to DWORDs; Wine
        // packs them at two bytes, which is taken as well.
        if (next % 2 != 0 || next < kChangeRecordHeaderBytes + name_bytes ||
            next >= bytes.size() - at) {
            return ChangeRecords::lost_count;
        }
        at += next;
    }
}

}  // namespace tarsel::platform
