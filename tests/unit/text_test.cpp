#include "platform/text.h"

#include <gtest/gtest.h>

namespace {

using namespace tarsel::platform;

TEST(Utf8Validation, StrictRfc3629) {
    struct Row {
        const char* desc;
        std::string bytes;
        bool valid;
    };
    const Row rows[] = {
        {"empty", "", true},
        {"ascii with NUL", std::string("a\0b", 3), true},
        {"two-byte", "\xC3\xA9", true},
        {"three-byte", "\xE2\x80\xA8", true},
        {"four-byte max", "\xF4\x8F\xBF\xBF", true},
        {"overlong two-byte", "\xC0\xAF", false},
        {"overlong three-byte", "\xE0\x80\xAF", false},
        {"overlong four-byte", "\xF0\x80\x80\xAF", false},
        {"encoded surrogate", "\xED\xA0\x80", false},
        {"above U+10FFFF", "\xF4\x90\x80\x80", false},
        {"lead F5", "\xF5\x80\x80\x80", false},
        {"lone continuation", "\x80", false},
        {"truncated at end", "a\xE2\x80", false},
        {"truncated before ascii", "\xE2\x80x", false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.desc);
        EXPECT_EQ(is_valid_utf8(row.bytes), row.valid);
    }
}

TEST(Utf8Lossy, ReplacesEachMaximalSubpart) {
    struct Row {
        const char* desc;
        std::string bytes;
        std::string expected;
    };
    const std::string r = "\xEF\xBF\xBD";
    const Row rows[] = {
        {"valid stays", "a\xC3\xA9", "a\xC3\xA9"},
        {"FF then A", "\xFF\x41", r + "A"},
        {"truncated three-byte is one subpart", "\xE2\x80", r},
        {"surrogate lead: each byte alone", "\xED\xA0\x80", r + r + r},
        {"overlong C0: each byte alone", "\xC0\xAF", r + r},
        {"F4 90: first byte alone", "\xF4\x90\x80\x80", r + r + r + r},
        {"subpart then ascii", "\xF0\x9F\x98x", r + "x"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.desc);
        EXPECT_EQ(utf8_lossy(row.bytes), row.expected);
    }
}

TEST(Utf16, ConversionsHandleSurrogates) {
    EXPECT_EQ(utf16_to_utf8_lossy(u"a\U0001F600"), "a\xF0\x9F\x98\x80");
    EXPECT_EQ(utf16_to_utf8_lossy(std::u16string(1, char16_t{0xD83D}) + u"x"), "\xEF\xBF\xBDx");
    EXPECT_EQ(utf16_to_utf8_lossy(std::u16string(1, char16_t{0xDE00})), "\xEF\xBF\xBD");
    EXPECT_TRUE(is_valid_utf16(u"C:\\ProgramData\U0001F600"));
    EXPECT_FALSE(is_valid_utf16(std::u16string(1, char16_t{0xDC00})));
    EXPECT_FALSE(is_valid_utf16(std::u16string(1, char16_t{0xD800}) + u"a"));
    EXPECT_EQ(utf8_to_utf16("\xC3\xA9\xF0\x9F\x98\x80"), u"\u00E9\U0001F600");
}

TEST(TrimUnicodeWhiteSpace, StripsTheWhiteSpaceSetOnly) {
    struct Row {
        const char* desc;
        std::string text;
        std::string expected;
    };
    const Row rows[] = {
        {"crlf and blanks frame a line", "\r\n  access denied \r\n", "access denied"},
        {"inner blanks kept", " a  b ", "a  b"},
        {"only white space", " \t\r\n\v\f", ""},
        {"NEL and NBSP", "\xC2\x85\xC2\xA0x\xC2\xA0", "x"},
        {"ideographic space and U+2028", "\xE3\x80\x80x\xE2\x80\xA8", "x"},
        {"U+200B is not white space", "\xE2\x80\x8Bx", "\xE2\x80\x8Bx"},
        {"U+FFFD is not white space",
         "\xEF\xBF\xBD"
         "A",
         "\xEF\xBF\xBD"
         "A"},
        {"empty", "", ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.desc);
        EXPECT_EQ(trim_unicode_white_space(row.text), row.expected);
    }
}

}  // namespace
