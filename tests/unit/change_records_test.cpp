// The walk over one read's change records. The records come from the system,
// but a short count or a malformed chain (as a compatibility layer may report)
// must cost a wasted pass, never a read past the bytes the read reported. Each
// row's bytes sit in a buffer of exactly the reported size, so a walk that
// strays is caught by the bounds check below and by AddressSanitizer.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <span>
#include <string_view>
#include <vector>

#include "platform/change_records.h"

namespace {

using tarsel::platform::ChangeRecords;
using tarsel::platform::walk_change_records;

struct Record {
    std::uint32_t next;
    std::u16string_view name;
    // FileNameLength as written; the name's own length unless a row lies.
    std::uint32_t name_bytes = kNameLength;
    static constexpr std::uint32_t kNameLength = 0xFFFFFFFF;
};

void put(std::vector<std::byte>& out, std::size_t at, std::uint32_t value) {
    if (out.size() < at + sizeof value) {
        out.resize(at + sizeof value);
    }
    std::memcpy(out.data() + at, &value, sizeof value);
}

// Lays each record at the offset its predecessors' NextEntryOffset says, the
// way the system packs them.
std::vector<std::byte> records(std::initializer_list<Record> chain) {
    std::vector<std::byte> out;
    std::size_t at = 0;
    for (const Record& record : chain) {
        const auto name_bytes = static_cast<std::uint32_t>(record.name.size() * 2);
        put(out, at, record.next);
        put(out, at + 4, 1);  // FILE_ACTION_ADDED; the walk does not look at it
        put(out, at + 8, record.name_bytes == Record::kNameLength ? name_bytes : record.name_bytes);
        out.resize(std::max(out.size(), at + 12 + name_bytes));
        std::memcpy(out.data() + at + 12, record.name.data(), name_bytes);
        at += record.next;
    }
    return out;
}

std::vector<std::byte> cut(std::vector<std::byte> bytes, std::size_t size) {
    bytes.resize(size);
    return bytes;
}

TEST(ChangeRecords, NamesTheFileOnlyFromRecordsWhollyInsideTheReportedBytes) {
    constexpr std::u16string_view kWatched = u"command.json";
    constexpr std::u16string_view kOther = u"other.txt";  // 18 bytes: a record of 32 with padding
    struct Row {
        const char* desc;
        std::vector<std::byte> bytes;
        ChangeRecords expected;
    };
    const Row rows[] = {
        {"nothing reported: the system lost count", {}, ChangeRecords::lost_count},
        {"the watched file alone", records({{0, kWatched}}), ChangeRecords::names_file},
        {"another file alone", records({{0, kOther}}), ChangeRecords::other_files_only},
        {"the watched file after another", records({{32, kOther}, {0, kWatched}}),
         ChangeRecords::names_file},
        {"two other files", records({{32, kOther}, {0, kOther}}),
         ChangeRecords::other_files_only},
        {"a count shorter than one record's header", cut(records({{0, kWatched}}), 8),
         ChangeRecords::lost_count},
        {"a name running past the count", cut(records({{0, kWatched}}), 20),
         ChangeRecords::lost_count},
        {"a name length past the count", records({{0, u"x", 4000}}), ChangeRecords::lost_count},
        {"a name length of an odd count of bytes", records({{0, u"ab", 3}}),
         ChangeRecords::lost_count},
        {"a next record past the count", records({{4096, kOther}}), ChangeRecords::lost_count},
        {"a next record exactly at the count", cut(records({{32, kOther}, {0, kOther}}), 32),
         ChangeRecords::lost_count},
        {"a next record's header cut short", cut(records({{32, kOther}, {0, kOther}}), 40),
         ChangeRecords::lost_count},
        {"a next record at an even offset that is not a DWORD's, as Wine packs them",
         records({{30, kOther}, {0, kWatched}}), ChangeRecords::names_file},
        {"a next record at an odd offset", records({{31, kOther}, {0, kWatched}}),
         ChangeRecords::lost_count},
        {"a next record inside this one", records({{8, kOther}}), ChangeRecords::lost_count},
        {"the last record followed by unused bytes", cut(records({{0, kOther}}), 64),
         ChangeRecords::other_files_only},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.desc);
        const std::vector<std::byte> exact(row.bytes);  // no spare capacity past the count
        const std::span<const std::byte> reported(exact.data(), exact.size());
        const auto same_name = [&](std::span<const std::byte> name) {
            EXPECT_GE(name.data(), reported.data());
            EXPECT_LE(name.data() + name.size(), reported.data() + reported.size());
            return name.size() == kWatched.size() * 2 &&
                   std::memcmp(name.data(), kWatched.data(), name.size()) == 0;
        };
        EXPECT_EQ(walk_change_records(reported, same_name), row.expected);
    }
}

}  // namespace
