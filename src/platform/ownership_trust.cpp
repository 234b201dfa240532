#include "platform/ownership_trust.h"

namespace tarsel::platform {
namespace {

// The access mask's bits, as winnt.h numbers them; spelled out here so the
// rule builds and is tested on both systems.
constexpr std::uint32_t kFileWriteData = 0x0002;  // FILE_ADD_FILE on a directory
constexpr std::uint32_t kFileAppendData = 0x0004;  // FILE_ADD_SUBDIRECTORY
constexpr std::uint32_t kFileDeleteChild = 0x0040;
constexpr std::uint32_t kDelete = 0x0001'0000;
constexpr std::uint32_t kWriteDac = 0x0004'0000;
constexpr std::uint32_t kWriteOwner = 0x0008'0000;
constexpr std::uint32_t kGenericAll = 0x1000'0000;
constexpr std::uint32_t kGenericExecute = 0x2000'0000;
constexpr std::uint32_t kGenericWrite = 0x4000'0000;
constexpr std::uint32_t kGenericRead = 0x8000'0000;

// The file object type's generic mapping: FILE_GENERIC_READ, _WRITE,
// _EXECUTE and FILE_ALL_ACCESS.
constexpr std::uint32_t kFileGenericRead = 0x0012'0089;
constexpr std::uint32_t kFileGenericWrite = 0x0012'0116;
constexpr std::uint32_t kFileGenericExecute = 0x0012'00A0;
constexpr std::uint32_t kFileAllAccess = 0x001F'01FF;

}  // namespace

bool is_trusted_account(std::string_view sid, std::string_view helper_sid) {
    return sid == kLocalSystemSid || sid == kAdministratorsSid ||
           (!helper_sid.empty() && sid == helper_sid);
}

std::uint32_t map_file_generic_rights(std::uint32_t mask) {
    std::uint32_t mapped = mask & ~(kGenericAll | kGenericExecute | kGenericWrite | kGenericRead);
    if ((mask & kGenericRead) != 0) {
        mapped |= kFileGenericRead;
    }
    if ((mask & kGenericWrite) != 0) {
        mapped |= kFileGenericWrite;
    }
    if ((mask & kGenericExecute) != 0) {
        mapped |= kFileGenericExecute;
    }
    if ((mask & kGenericAll) != 0) {
        mapped |= kFileAllAccess;
    }
    return mapped;
}

std::uint32_t dangerous_file_rights(TrustedObject object) {
    constexpr std::uint32_t kTakeOrRemove = kWriteDac | kWriteOwner | kDelete | kFileDeleteChild;
    return object == TrustedObject::directory ? kTakeOrRemove
                                              : kTakeOrRemove | kFileWriteData | kFileAppendData;
}

bool is_trusted_security(const SecurityFacts& facts, std::string_view helper_sid,
                         TrustedObject object) {
    if (!facts.owner_sid || !is_trusted_account(*facts.owner_sid, helper_sid) || !facts.has_dacl) {
        return false;
    }
    const std::uint32_t dangerous = dangerous_file_rights(object);
    for (const AccessEntry& entry : facts.dacl) {
        if (entry.kind == AceKind::deny || entry.inherit_only ||
            is_trusted_account(entry.sid, helper_sid)) {
            continue;
        }
        if ((map_file_generic_rights(entry.mask) & dangerous) != 0) {
            return false;
        }
    }
    return true;
}

bool is_trusted_posix(const PosixOwnership& facts, std::uint32_t helper_uid,
                      TrustedObject object) {
    constexpr std::uint32_t kGroupOrOtherWrite = 0020 | 0002;
    constexpr std::uint32_t kSticky = 01000;
    if (facts.owner_uid != 0 && facts.owner_uid != helper_uid) {
        return false;
    }
    if ((facts.mode & kGroupOrOtherWrite) == 0) {
        return true;
    }
    return object == TrustedObject::directory && (facts.mode & kSticky) != 0;
}

}  // namespace tarsel::platform
