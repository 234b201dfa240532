// The owner and ACL rules for data_dir and result.json, with the facts a
// handle would report fed in. Wine reports one made-up owner and DACL for
// every file, so these tables are where the Windows rule is seen to work.
#include <gtest/gtest.h>

#include <vector>

#include "platform/ownership_trust.h"

namespace {

using tarsel::platform::AccessEntry;
using tarsel::platform::AceKind;
using tarsel::platform::PosixOwnership;
using tarsel::platform::SecurityFacts;
using tarsel::platform::TrustedObject;

constexpr const char* kHelper = "S-1-5-21-1-2-3-500";  // the helper's token user
constexpr const char* kUser = "S-1-5-21-1-2-3-1001";   // a standard local user
constexpr const char* kUsers = "S-1-5-32-545";
constexpr const char* kEveryone = "S-1-1-0";
constexpr const char* kCreatorOwner = "S-1-3-0";

constexpr std::uint32_t kFullControl = 0x001F01FF;
constexpr std::uint32_t kReadExecute = 0x001200A9;
// What ProgramData lets Users do in every folder under it: add files and
// folders, write extended attributes and attributes.
constexpr std::uint32_t kAddFilesAndFolders = 0x00000116;

// The entries a folder made under ProgramData's own ACL inherits, for the
// account that made it.
std::vector<AccessEntry> inherited_from_program_data(const char* creator) {
    return {
        {AceKind::allow, "S-1-5-18", kFullControl, false},
        {AceKind::allow, "S-1-5-32-544", kFullControl, false},
        {AceKind::allow, creator, kFullControl, false},
        {AceKind::allow, kCreatorOwner, 0x10000000, true},
        {AceKind::allow, kUsers, kReadExecute, false},
        {AceKind::allow, kUsers, kAddFilesAndFolders, false},
    };
}

SecurityFacts facts(const char* owner, std::vector<AccessEntry> dacl) {
    return {owner, true, std::move(dacl)};
}

TEST(OwnershipTrust, WindowsDirectory) {
    const auto honest = inherited_from_program_data("S-1-5-18");
    auto with = [&](AccessEntry extra) {
        auto dacl = honest;
        dacl.push_back(extra);
        return dacl;
    };
    struct Row {
        const char* desc;
        SecurityFacts facts;
        bool trusted;
    };
    const Row rows[] = {
        {"made by the service under ProgramData's ACL", facts("S-1-5-18", honest), true},
        {"owned by Administrators", facts("S-1-5-32-544", honest), true},
        {"owned by the helper's own user", facts(kHelper, honest), true},
        {"made by a user first", facts(kUser, inherited_from_program_data(kUser)), false},
        {"owned by a user who then gave the rest away", facts(kUser, honest), false},
        {"owner unreadable", {std::nullopt, true, honest}, false},
        {"no DACL at all: everyone may do anything", {"S-1-5-18", false, {}}, false},
        {"empty DACL: no one may do anything", facts("S-1-5-18", {}), true},
        {"a user granted full control", facts("S-1-5-18", with({AceKind::allow, kUser, kFullControl})),
         false},
        {"Everyone granted WRITE_DAC", facts("S-1-5-18", with({AceKind::allow, kEveryone, 0x00040000})),
         false},
        {"Users granted WRITE_OWNER", facts("S-1-5-18", with({AceKind::allow, kUsers, 0x00080000})),
         false},
        {"a user granted DELETE", facts("S-1-5-18", with({AceKind::allow, kUser, 0x00010000})), false},
        {"a user granted FILE_DELETE_CHILD",
         facts("S-1-5-18", with({AceKind::allow, kUser, 0x00000040})), false},
        {"a user granted GENERIC_ALL", facts("S-1-5-18", with({AceKind::allow, kUser, 0x10000000})),
         false},
        {"a user granted GENERIC_WRITE: adds entries only",
         facts("S-1-5-18", with({AceKind::allow, kUser, 0x40000000})), true},
        {"GENERIC_ALL for a user, inherit-only",
         facts("S-1-5-18", with({AceKind::allow, kUser, 0x10000000, true})), true},
        {"a user denied everything", facts("S-1-5-18", with({AceKind::deny, kUser, kFullControl})),
         true},
        {"an unknown entry type granting DELETE",
         facts("S-1-5-18", with({AceKind::other, kUser, 0x00010000})), false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.desc);
        EXPECT_EQ(tarsel::platform::is_trusted_security(row.facts, kHelper, TrustedObject::directory),
                  row.trusted);
    }
}

TEST(OwnershipTrust, WindowsFile) {
    // A file made in the directory inherits only the entries that reach files.
    const std::vector<AccessEntry> honest = {
        {AceKind::allow, "S-1-5-18", kFullControl, false},
        {AceKind::allow, "S-1-5-32-544", kFullControl, false},
        {AceKind::allow, kUsers, kReadExecute, false},
    };
    auto with = [&](AccessEntry extra) {
        auto dacl = honest;
        dacl.push_back(extra);
        return dacl;
    };
    struct Row {
        const char* desc;
        SecurityFacts facts;
        bool trusted;
    };
    const Row rows[] = {
        {"made by the helper", facts("S-1-5-18", honest), true},
        {"made by a user first", facts(kUser, with({AceKind::allow, kUser, kFullControl})), false},
        {"a user may write its data", facts("S-1-5-18", with({AceKind::allow, kUser, 0x00000002})),
         false},
        {"a user may append", facts("S-1-5-18", with({AceKind::allow, kUser, 0x00000004})), false},
        {"Users granted GENERIC_WRITE", facts("S-1-5-18", with({AceKind::allow, kUsers, 0x40000000})),
         false},
        {"Everyone may read", facts("S-1-5-18", with({AceKind::allow, kEveryone, 0x80000000})), true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.desc);
        EXPECT_EQ(tarsel::platform::is_trusted_security(row.facts, kHelper, TrustedObject::file),
                  row.trusted);
    }
}

TEST(OwnershipTrust, GenericRightsMapAsForFiles) {
    using tarsel::platform::map_file_generic_rights;
    EXPECT_EQ(map_file_generic_rights(0x10000000), 0x001F01FFu);
    EXPECT_EQ(map_file_generic_rights(0x40000000), 0x00120116u);
    EXPECT_EQ(map_file_generic_rights(0x80000000), 0x00120089u);
    EXPECT_EQ(map_file_generic_rights(0x20000000), 0x001200A0u);
    EXPECT_EQ(map_file_generic_rights(0x00010040), 0x00010040u) << "specific rights stay";
}

TEST(OwnershipTrust, Posix) {
    constexpr std::uint32_t kHelperUid = 1234;
    constexpr std::uint32_t kNobody = 65534;
    struct Row {
        const char* desc;
        PosixOwnership facts;
        TrustedObject object;
        bool trusted;
    };
    const Row rows[] = {
        {"root's directory, 0755", {0, 0755}, TrustedObject::directory, true},
        {"the helper's own directory", {kHelperUid, 0700}, TrustedObject::directory, true},
        {"nobody's directory", {kNobody, 0755}, TrustedObject::directory, false},
        {"root's directory, group-writable", {0, 0775}, TrustedObject::directory, false},
        {"root's directory, world-writable", {0, 0777}, TrustedObject::directory, false},
        {"root's directory, world-writable and sticky", {0, 01777}, TrustedObject::directory, true},
        {"nobody's sticky directory", {kNobody, 01777}, TrustedObject::directory, false},
        {"root's file, 0644", {0, 0644}, TrustedObject::file, true},
        {"nobody's file", {kNobody, 0600}, TrustedObject::file, false},
        {"root's file, world-writable", {0, 0666}, TrustedObject::file, false},
        {"root's file, world-writable, sticky bit", {0, 01666}, TrustedObject::file, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.desc);
        EXPECT_EQ(tarsel::platform::is_trusted_posix(row.facts, kHelperUid, row.object), row.trusted);
    }
}

}  // namespace
