#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Who may change an object in data_dir behind the helper's back, decided from
// facts read through a handle the helper opened. Any local user may create
// folders under ProgramData and files in data_dir; a directory or result.json
// that a user made first is theirs to rewrite, rename or re-permission at any
// moment, so it is never served as it is. files_*.cpp gather the facts; the
// rules live here once and are tested with tables on both builds.
namespace tarsel::platform {

// Windows: the owner and the discretionary ACL's entries, SIDs as strings
// ("S-1-5-18").
enum class AceKind : std::uint8_t {
    allow,
    deny,
    other,  // an entry type this rule does not know; counted as if it allowed
};

struct AccessEntry {
    AceKind kind = AceKind::allow;
    std::string sid;
    std::uint32_t mask = 0;
    // Only passed on to children, never applied to this object.
    bool inherit_only = false;
};

struct SecurityFacts {
    std::optional<std::string> owner_sid;  // nothing when it could not be read
    // No DACL at all grants everyone everything.
    bool has_dacl = false;
    std::vector<AccessEntry> dacl;
};

inline constexpr std::string_view kLocalSystemSid = "S-1-5-18";
inline constexpr std::string_view kAdministratorsSid = "S-1-5-32-544";

// LocalSystem, BUILTIN\Administrators and `helper_sid`, the helper's own
// token user (empty when it could not be read, matching nothing).
[[nodiscard]] bool is_trusted_account(std::string_view sid, std::string_view helper_sid);

// What the entries may not grant anyone untrusted. On a directory, another
// user may add files (ProgramData lets every user do so), but may not delete,
// rename, re-permission or take the directory or its entries. On a file,
// another user may not write it either.
enum class TrustedObject : std::uint8_t { directory, file };

// The access bits that let their holder change `object` behind the helper,
// with the generic rights mapped as the file object type maps them.
[[nodiscard]] std::uint32_t dangerous_file_rights(TrustedObject object);
[[nodiscard]] std::uint32_t map_file_generic_rights(std::uint32_t mask);

// The owner must be a trusted account, and the DACL must grant no other SID
// a right in dangerous_file_rights, directly or through a generic right.
// Deny entries only take rights away and so never make an object untrusted.
[[nodiscard]] bool is_trusted_security(const SecurityFacts& facts, std::string_view helper_sid,
                                       TrustedObject object);

// The POSIX build's mirror, with real owners and modes: the owner is root or
// the helper's own effective user, and no group or other may write, unless
// the directory has the sticky bit (then only an entry's owner may remove or
// rename it). On a file the sticky bit means nothing.
struct PosixOwnership {
    std::uint32_t owner_uid = 0;
    std::uint32_t mode = 0;  // st_mode's permission bits, with S_ISVTX
};

[[nodiscard]] bool is_trusted_posix(const PosixOwnership& facts, std::uint32_t helper_uid,
                                    TrustedObject object);

}  // namespace tarsel::platform
