// The command line the runner builds must come apart, under the system's own
// parser, into exactly the arguments it was built from.
#include <windows.h>
// shellapi.h needs the types of windows.h.
#include <shellapi.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "exchange/command_line.h"
#include "platform/text.h"

namespace {

using tarsel::exchange::encode_command_line;
using tarsel::platform::utf16_to_utf8_lossy;

std::vector<std::string> split_with_system_parser(const std::u16string& line) {
    std::vector<std::string> parts;
    int count = 0;
    LPWSTR* vector = ::CommandLineToArgvW(reinterpret_cast<const wchar_t*>(line.c_str()), &count);
    if (vector == nullptr) {
        ADD_FAILURE() << "CommandLineToArgvW failed: " << ::GetLastError();
        return parts;
    }
    for (int i = 0; i < count; ++i) {
        const std::wstring_view part(vector[i]);
        parts.push_back(utf16_to_utf8_lossy(std::u16string(part.begin(), part.end())));
    }
    ::LocalFree(vector);
    return parts;
}

TEST(CommandLineRoundTrip, HostileArgumentsSurviveCommandLineToArgvW) {
    struct Row {
        const char* desc;
        std::vector<std::string> arguments;
    };
    const Row rows[] = {
        {"the two actions", {"/installtunnelservice", R"(C:\Program Data\TarselVPN\tarsel.conf)"}},
        {"empty", {""}},
        {"empties around others", {"", "x", ""}},
        {"blanks and tabs", {" ", "\t", " lead", "trail ", "in side", "a\tb"}},
        {"quotes", {"\"", "\"\"", R"(a"b)", R"("quoted")", R"(say "hi" now)"}},
        {"backslash runs before quotes", {R"(\")", R"(\\")", R"(\\\"x)", R"(a b\\\"c)"}},
        {"backslash runs at the end", {R"(\)", R"(\\)", R"(dir\)", R"(a b\)", R"(a b\\\)"}},
        {"backslashes elsewhere", {R"(\\server\share)", R"(C:\a b\c)", R"(\\ \\)"}},
        {"non-ASCII", {"\u00e9t\u00e9", "\U0001F600 \u3000"}},
    };
    const std::u16string program = uR"(C:\Program Files\TarselVPN\wireguard.exe)";
    for (const Row& row : rows) {
        SCOPED_TRACE(row.desc);
        std::vector<std::string> expected{utf16_to_utf8_lossy(program)};
        expected.insert(expected.end(), row.arguments.begin(), row.arguments.end());
        EXPECT_EQ(split_with_system_parser(encode_command_line(program, row.arguments)), expected);
    }
}

}  // namespace
