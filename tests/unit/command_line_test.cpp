#include "exchange/command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using tarsel::exchange::encode_command_line;

TEST(EncodeCommandLine, QuotesAndEscapesLikeTheRuntimeParser) {
    struct Row {
        const char* desc;
        std::u16string program;
        std::vector<std::string> arguments;
        std::u16string expected;
    };
    const std::u16string wg = uR"(C:\Program Files\TarselVPN\wireguard.exe)";
    const std::u16string quoted = u"\"" + wg + u"\"";
    const Row rows[] = {
        {"no arguments", wg, {}, quoted},
        {"down",
         wg,
         {"/uninstalltunnelservice", "tarsel"},
         quoted + u" /uninstalltunnelservice tarsel"},
        {"up with a blank in the path",
         wg,
         {"/installtunnelservice", R"(C:\Program Data\TarselVPN\tarsel.conf)"},
         quoted + uR"( /installtunnelservice "C:\Program Data\TarselVPN\tarsel.conf")"},
        {"program path is never escaped", uR"(C:\odd\)", {"x"}, uR"("C:\odd\" x)"},
        {"empty argument", wg, {""}, quoted + uR"( "")"},
        {"tab forces quotes", wg, {"a\tb"}, quoted + u" \"a\tb\""},
        {"other control characters do not", wg, {"a\nb\vc"}, quoted + u" a\nb\vc"},
        {"lone quote", wg, {"\""}, quoted + uR"( \")"},
        {"quote inside unquoted", wg, {R"(a"b)"}, quoted + uR"( a\"b)"},
        {"quotes inside quoted", wg, {R"(say "hi")"}, quoted + uR"( "say \"hi\"")"},
        {"backslashes before a quote", wg, {R"(a\\"b)"}, quoted + uR"( a\\\\\"b)"},
        {"backslashes elsewhere kept", wg, {R"(C:\dir\\file\)"}, quoted + uR"( C:\dir\\file\)"},
        {"trailing backslashes, unquoted", wg, {R"(dir\\)"}, quoted + uR"( dir\\)"},
        {"trailing backslashes, quoted", wg, {R"(a b\\)"}, quoted + uR"( "a b\\\\")"},
        {"only backslashes, quoted", wg, {R"( \)"}, quoted + uR"( " \\")"},
        {"non-ASCII becomes UTF-16", wg, {"\u00e9\U0001F600"}, quoted + u" \u00e9\U0001F600"},
        {"several arguments", wg, {"a", "", "b c"}, quoted + uR"( a "" "b c")"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.desc);
        EXPECT_EQ(encode_command_line(row.program, row.arguments), row.expected);
    }
}

}  // namespace
