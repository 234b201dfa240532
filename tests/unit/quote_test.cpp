#include "install/quote.h"

#include <gtest/gtest.h>

#include "platform/text.h"

namespace {

using tarsel::install::quote_command_argument;

TEST(QuoteCommandArgument, MicrosoftRuntimeConvention) {
    struct Row {
        const char* desc;
        std::u16string input;
        std::u16string expected;
    };
    const Row rows[] = {
        {"plain path unchanged", u"C:\\Tarsel\\helper.exe", u"C:\\Tarsel\\helper.exe"},
        {"backslashes alone need no quotes", u"a\\\\b\\", u"a\\\\b\\"},
        {"empty becomes a pair of quotes", u"", u"\"\""},
        {"blank", u"C:\\Program Files\\x.exe", u"\"C:\\Program Files\\x.exe\""},
        {"tab", u"a\tb", u"\"a\tb\""},
        {"line feed", u"a\nb", u"\"a\nb\""},
        {"vertical tab", u"a\vb", u"\"a\vb\""},
        {"carriage return alone needs no quotes", u"a\rb", u"a\rb"},
        {"quote", u"a\"b", u"\"a\\\"b\""},
        {"one backslash before a quote", u"a\\\"b", u"\"a\\\\\\\"b\""},
        {"two backslashes before a quote", u"a\\\\\"b", u"\"a\\\\\\\\\\\"b\""},
        {"backslashes before another character stay", u"a b\\\\c", u"\"a b\\\\c\""},
        {"one trailing backslash doubled", u"a b\\", u"\"a b\\\\\""},
        {"three trailing backslashes doubled", u"a b\\\\\\", u"\"a b\\\\\\\\\\\\\""},
        {"only a quote", u"\"", u"\"\\\"\""},
        {"leading quote then backslash at end", u"\"x\\", u"\"\\\"x\\\\\""},
        {"non-ASCII kept", u"C:\\Pr\u00f6gram Files\\\U0001F600.exe",
         u"\"C:\\Pr\u00f6gram Files\\\U0001F600.exe\""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.desc);
        EXPECT_EQ(tarsel::platform::utf16_to_utf8_lossy(quote_command_argument(row.input)),
                  tarsel::platform::utf16_to_utf8_lossy(row.expected));
    }
}

}  // namespace
