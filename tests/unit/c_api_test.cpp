// The client library called from C (tests/c_api/c_api_driver.c) against the
// serving helper and the stand-in wireguard.exe: every result code, the
// helper's failure text, a buffer too small for it, and the default data
// directory.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "exchange/data_dir.h"
#include "install/quote.h"
#include "platform/process.h"
#include "platform/text.h"
#include "support/serving_helper.h"
#include "support/temp_dir.h"

namespace {

using namespace tarsel;
using namespace tarsel::testing;

struct DriverOutput {
    std::uint32_t exit_code = 99;
    std::string first_line;  // the result code or the length
    std::string text;        // what the buffer held
    std::string standard_error;
};

DriverOutput driver(const std::vector<std::string>& arguments) {
    const fs::path program = program_directory() / ("c_api_driver" TARSEL_EXE_SUFFIX);
    std::u16string command_line = install::quote_command_argument(platform::path_to_utf16(program));
    for (const auto& argument : arguments) {
        command_line += u" " + install::quote_command_argument(platform::utf8_to_utf16(argument));
    }
    const auto output = platform::run_process({program, arguments, command_line});
    EXPECT_TRUE(output.has_value());
    if (!output) {
        return {};
    }
    DriverOutput result{output->exit_code, {}, {}, output->standard_error};
    const auto& out = output->standard_output;
    const auto end = out.find('\n');
    result.first_line = out.substr(0, end);
    // msvcrt's text mode ends the line with "\r\n".
    if (result.first_line.ends_with('\r')) {
        result.first_line.pop_back();
    }
    result.text = end == std::string::npos ? "" : out.substr(end + 1);
    return result;
}

TEST(ClientLibraryFromC, ResultCodesAndTexts) {
    TempDir temp;
    const fs::path helper_dir = temp.path() / "helper";
    install_standin(helper_dir);
    const fs::path data = temp.path() / "ProgramData" / "TarselVPN";
    ServingHelper helper(helper_dir, temp.path() / "ProgramData");
    ASSERT_TRUE(helper.serving());
    const std::string dir = platform::path_to_utf8(data);

    struct Row {
        const char* desc;
        StandinBehaviour standin;
        std::string action;
        std::string error_size;
        std::string expected_code;
        std::string expected_text;
    };
    StandinBehaviour failing;
    failing.exit_code = 1;
    failing.standard_error = "Tunnel \xC3\xA9tat inconnu\r\n";
    const Row rows[] = {
        {"ok", {}, "up", "256", "0", ""},
        {"failed, with the helper's text", failing, "down", "256", "1",
         "Tunnel \xC3\xA9tat inconnu"},
        {"a buffer too small is cut and NUL-terminated", failing, "down", "5", "1", "Tunn"},
        {"never inside a UTF-8 sequence", failing, "down", "9", "1", "Tunnel "},
        {"no buffer at all", failing, "up", "0", "1", ""},
        {"an unknown action is the helper's failure", {}, "sideways", "256", "1",
         "unknown action: sideways"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.desc);
        set_standin_behaviour(helper_dir, row.standin);
        const auto out = driver({"send", dir, row.action, "60000", row.error_size});
        EXPECT_EQ(out.exit_code, 0u) << out.standard_error;
        EXPECT_EQ(out.first_line, row.expected_code);
        EXPECT_EQ(out.text, row.expected_text);
    }

    const auto missing = driver({"send", platform::path_to_utf8(temp.path() / "missing"), "up",
                                 "60000", "512"});
    EXPECT_EQ(missing.first_line, "3");
    EXPECT_TRUE(missing.text.starts_with("cannot write ")) << missing.text;
    EXPECT_NE(missing.text.find("the directory does not exist"), std::string::npos) << missing.text;

    helper.stop();
    const auto unanswered = driver({"send", dir, "up", "700", "512"});
    EXPECT_EQ(unanswered.first_line, "2");
    EXPECT_TRUE(unanswered.text.starts_with("no answer within 700 ms; the TarselHelper service is "
                                            "probably not running."))
        << unanswered.text;
}

TEST(ClientLibraryFromC, DefaultDataDirectoryIsTheHelpers) {
    const std::string expected = platform::path_to_utf8(exchange::data_dir());
    const std::string length = std::to_string(expected.size());
    const auto fits = driver({"default-dir", std::to_string(expected.size() + 1)});
    EXPECT_EQ(fits.exit_code, 0u) << fits.standard_error;
    EXPECT_EQ(fits.first_line, length);
    EXPECT_EQ(fits.text, expected);
    // One byte short of the NUL: the length, and nothing written.
    const auto short_by_one = driver({"default-dir", length});
    EXPECT_EQ(short_by_one.exit_code, 0u) << short_by_one.standard_error;
    EXPECT_EQ(short_by_one.first_line, length);
    EXPECT_EQ(short_by_one.text, "");
}

}  // namespace
