#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "platform/process.h"

namespace {

using tarsel::platform::os_error_text;

constexpr std::uint32_t kNtStatusBit = 0x10000000;

std::int32_t as_code(std::uint32_t bits) {
    return static_cast<std::int32_t>(bits);
}

TEST(OsErrorTextWindows, NtStatusCodesAreLookedUpWithoutTheBit) {
    // STATUS_ACCESS_DENIED with the NTSTATUS bit, which makes it negative.
    const std::int32_t code = as_code(0xC0000022u | kNtStatusBit);
    const std::string text = os_error_text(code);
    const std::string suffix = " (os error " + std::to_string(code) + ")";
    ASSERT_TRUE(text.ends_with(suffix)) << text;
    const std::string message = text.substr(0, text.size() - suffix.size());
    EXPECT_FALSE(message.empty());
    // Windows' ntdll knows the status; Wine's has no text for it, and then the
    // message names the status looked up, 0xC0000022.
    if (message.starts_with("OS Error ")) {
        EXPECT_TRUE(message.starts_with("OS Error -1073741790 (FormatMessageW() returned error "))
            << text;
    }
}

TEST(OsErrorTextWindows, UnknownCodeNamesTheLookupFailure) {
    struct Row {
        const char* desc;
        std::int32_t code;
        std::string expected_start;
    };
    const Row rows[] = {
        {"plain code", as_code(0x2000BEEF), "OS Error 536919791 (FormatMessageW() returned error "},
        // The message names the code looked up; the suffix the code received.
        {"NTSTATUS bit cleared", as_code(0x0000BEEF | kNtStatusBit),
         "OS Error 48879 (FormatMessageW() returned error "},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.desc);
        const std::string text = os_error_text(row.code);
        EXPECT_TRUE(text.starts_with(row.expected_start)) << text;
        EXPECT_TRUE(text.ends_with(") (os error " + std::to_string(row.code) + ")")) << text;
    }
}

}  // namespace
