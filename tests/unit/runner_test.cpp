#include "exchange/runner.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/console.h"
#include "platform/environment.h"
#include "platform/process.h"
#include "support/raw_command_line.h"
#include "support/standin_protocol.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
namespace exchange = tarsel::exchange;
namespace platform = tarsel::platform;
namespace support = tarsel::testing;

std::string utf8(const fs::path& path) {
    return platform::path_to_utf8(path);
}

std::string in_quotes(std::string_view text) {
    std::string out(1, '"');
    out.append(text);
    out.push_back('"');
    return out;
}

// Only a Windows child sees a raw command line; on POSIX it gets argv alone.
bool command_line_recorded() {
    return tarsel::testing::raw_command_line().has_value();
}

// A helper installed in a directory with a blank in its name, and a data
// directory with a blank, as under a PROGRAMDATA of C:\Program Data.
class RunnerTest : public ::testing::Test {
  protected:
    fs::path helper_dir() const { return temp_.path() / "Tarsel Helper"; }
    fs::path resources_dir() const { return helper_dir() / "resources"; }
    fs::path data_dir() const { return temp_.path() / "Program Data" / "TarselVPN"; }
    exchange::RunnerContext context() const {
        return {helper_dir() / "tarsel-helper.exe", data_dir()};
    }
    exchange::ActionOutcome run(std::string_view action) const {
        return exchange::run_tunnel_action(action, context());
    }

  private:
    support::TempDir temp_;
};

TEST_F(RunnerTest, PrefersTheCopyNextToTheHelperOverResources) {
    support::install_standin(helper_dir());
    support::install_standin(resources_dir());

    EXPECT_EQ(exchange::locate_wireguard(context().helper_path), helper_dir() / "wireguard.exe");
    EXPECT_TRUE(run("down").has_value());
    EXPECT_EQ(support::standin_runs(helper_dir()).size(), 1u);
    EXPECT_TRUE(support::standin_runs(resources_dir()).empty());
}

TEST_F(RunnerTest, FallsBackToResources) {
    support::install_standin(resources_dir());

    EXPECT_EQ(exchange::locate_wireguard(context().helper_path), resources_dir() / "wireguard.exe");
    EXPECT_TRUE(run("down").has_value());
    EXPECT_EQ(support::standin_runs(resources_dir()).size(), 1u);
}

TEST_F(RunnerTest, DirectoryNamedWireguardIsFoundButCannotStart) {
    fs::create_directories(helper_dir() / "wireguard.exe");
    support::install_standin(resources_dir());

    const auto outcome = run("down");
    ASSERT_FALSE(outcome.has_value());
    const std::string prefix = "spawn wireguard.exe: ";
    EXPECT_TRUE(outcome.error().starts_with(prefix)) << outcome.error();
    EXPECT_GT(outcome.error().size(), prefix.size() + std::string(" (os error 0)").size());
    EXPECT_NE(outcome.error().find(" (os error "), std::string::npos) << outcome.error();
    EXPECT_TRUE(outcome.error().ends_with(")")) << outcome.error();
    EXPECT_TRUE(support::standin_runs(resources_dir()).empty());
}

TEST_F(RunnerTest, MissingWireguardWinsOverEveryOtherFailure) {
    fs::create_directories(helper_dir());
    struct Row {
        const char* desc;
        std::expected<platform::Path, std::int32_t> helper_path;
        const char* action;
    };
    const Row rows[] = {
        {"up, neither location", context().helper_path, "up"},
        {"unknown action, neither location", context().helper_path, "start"},
        {"own path unknown", std::unexpected(2), "down"},
        {"own path without a parent", platform::Path("tarsel-helper.exe"), "down"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.desc);
        const auto outcome = exchange::run_tunnel_action(row.action, {row.helper_path, data_dir()});
        ASSERT_FALSE(outcome.has_value());
        EXPECT_EQ(outcome.error(), exchange::kWireguardNotFound);
    }
}

TEST_F(RunnerTest, UnknownActionsAreQuotedVerbatimAndRunNothing) {
    support::install_standin(helper_dir());
    for (const char* action : {"Up", " up", "", "start", "down "}) {
        SCOPED_TRACE(action);
        const auto outcome = run(action);
        ASSERT_FALSE(outcome.has_value());
        EXPECT_EQ(outcome.error(), std::string("unknown action: ") + action);
    }
    EXPECT_TRUE(support::standin_runs(helper_dir()).empty());
}

TEST_F(RunnerTest, PassesTheActionArguments) {
    const fs::path program = support::install_standin(helper_dir());
    const std::string config = utf8(data_dir() / "tarsel.conf");
    ASSERT_NE(config.find(' '), std::string::npos);

    ASSERT_TRUE(run("up").has_value());
    ASSERT_TRUE(run("down").has_value());

    const auto runs = support::standin_runs(helper_dir());
    ASSERT_EQ(runs.size(), 2u);
    EXPECT_EQ(runs[0].arguments, (std::vector<std::string>{"/installtunnelservice", config}));
    EXPECT_EQ(runs[1].arguments, (std::vector<std::string>{"/uninstalltunnelservice", "tarsel"}));
    if (command_line_recorded()) {
        EXPECT_EQ(runs[0].command_line,
                  in_quotes(utf8(program)) + " /installtunnelservice " + in_quotes(config));
        EXPECT_EQ(runs[1].command_line,
                  in_quotes(utf8(program)) + " /uninstalltunnelservice tarsel");
    }
}

TEST_F(RunnerTest, ExitCodeAndStandardErrorMakeTheOutcome) {
    struct Row {
        const char* desc;
        std::uint32_t exit_code;
        std::string standard_error;
        std::string standard_output;
        std::optional<std::string> failure;  // nothing: success
    };
    const Row rows[] = {
        {"exit 0 drops stderr", 0, "warning: something odd\r\n", "", std::nullopt},
        {"one line framed by line breaks and blanks", 1, "\r\n  Unable to  open tunnel \r\n", "",
         "Unable to  open tunnel"},
        {"Unicode white space trimmed", 1,
         "\t\v\f\u0085\u00a0\u1680\u2000\u200a\u2028\u2029\u202f\u205f\u3000 x y "
         "\u3000\u2029\r\n",
         "", "x y"},
        {"zero width space is not white space", 1, "\u200bx\u200b", "", "\u200bx\u200b"},
        {"invalid UTF-8 replaced", 1, "\xFF\x41", "",
         "\uFFFD"
         "A"},
        {"empty stderr", 1, "", "", ""},
        {"blank stderr", 1, " \r\n\t\r\n ", "", ""},
        {"stdout is never the reason", 2, "", "reason on stdout", ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.desc);
        support::install_standin(helper_dir(), {.exit_code = row.exit_code,
                                                .standard_error = row.standard_error,
                                                .standard_output = row.standard_output});
        const auto outcome = run("up");
        if (row.failure) {
            ASSERT_FALSE(outcome.has_value());
            EXPECT_EQ(outcome.error(), *row.failure);
        } else {
            EXPECT_TRUE(outcome.has_value()) << outcome.error();
        }
    }
}

// Index of the first byte that differs from the stand-in's pattern, if any.
std::optional<std::size_t> first_mismatch(char stream, const std::string& bytes) {
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (bytes[i] != support::standin::flood_byte(stream, i)) {
            return i;
        }
    }
    return std::nullopt;
}

TEST_F(RunnerTest, BothStreamsFloodedAtOnceComeBackWhole) {
    constexpr std::uint64_t kFlood = 16u << 20;
    support::StandinBehaviour flood;
    flood.exit_code = 3;
    flood.flood_bytes = kFlood;
    const fs::path program = support::install_standin(helper_dir(), flood);

    const std::vector<std::string> arguments{"/uninstalltunnelservice", "tarsel"};
    const auto output = exchange::run_wireguard(program, arguments);
    ASSERT_TRUE(output.has_value()) << platform::os_error_text(output.error());
    EXPECT_EQ(output->exit_code, 3u);
    ASSERT_EQ(output->standard_output.size(), kFlood);
    ASSERT_EQ(output->standard_error.size(), kFlood);
    EXPECT_EQ(first_mismatch('o', output->standard_output), std::nullopt);
    EXPECT_EQ(first_mismatch('e', output->standard_error), std::nullopt);
}

// wireguard.exe may start a process that inherits its output pipes and
// outlives it. Its output, written before it exited, is the answer, and
// the action ends kPipesAfterExit after the exit, not when that process ends.
TEST_F(RunnerTest, AProcessLeftHoldingThePipesHoldsTheActionOnlyBriefly) {
    support::StandinBehaviour behaviour;
    behaviour.exit_code = 1;
    behaviour.standard_output = "written before the exit";
    behaviour.standard_error = "Unable to stop the tunnel\r\n";
    behaviour.pipe_holder_cap_ms = 120'000;
    const fs::path program = support::install_standin(helper_dir(), behaviour);

    const std::vector<std::string> arguments{"/uninstalltunnelservice", "tarsel"};
    const auto started = std::chrono::steady_clock::now();
    const auto output = exchange::run_wireguard(program, arguments);
    const auto took = std::chrono::steady_clock::now() - started;
    const fs::path gone = helper_dir() / std::string(support::standin::kHolderGoneFile);

    ASSERT_TRUE(output.has_value()) << platform::os_error_text(output.error());
    EXPECT_EQ(output->exit_code, 1u);
    EXPECT_EQ(output->standard_output, "written before the exit");
    EXPECT_EQ(output->standard_error, "Unable to stop the tunnel\r\n");
    // Not sooner: the holder really kept the pipes open past the exit (it is
    // still running). Not much later: the bound, plus a loaded machine's slack.
    EXPECT_FALSE(fs::exists(gone));
    EXPECT_GE(took, platform::kPipesAfterExit);
    EXPECT_LT(took, platform::kPipesAfterExit + std::chrono::seconds(5));

    // The holder is let go only now: released before the check above, it
    // could be gone by then on a quick machine.
    support::release_standin(helper_dir());
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!fs::exists(gone) && std::chrono::steady_clock::now() < give_up) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_TRUE(fs::exists(gone));
}

TEST_F(RunnerTest, MissingProgramIsAnErrorCodeNotAnExitCode) {
    fs::create_directories(helper_dir());
    const std::vector<std::string> arguments{"/uninstalltunnelservice", "tarsel"};
    const auto output = exchange::run_wireguard(helper_dir() / "wireguard.exe", arguments);
    ASSERT_FALSE(output.has_value());
    // ENOENT and ERROR_FILE_NOT_FOUND share the number.
    EXPECT_EQ(output.error(), 2);
}

TEST(OsErrorText, SystemMessageThenCode) {
    const std::string text = platform::os_error_text(2);
    const std::string suffix = " (os error 2)";
    ASSERT_TRUE(text.ends_with(suffix)) << text;
    const std::string message = text.substr(0, text.size() - suffix.size());
    ASSERT_FALSE(message.empty());
    // The system's text for 2 ends in a line break on Windows; it must be cut.
    EXPECT_EQ(std::string_view(" \t\r\n\f").find(message.back()), std::string_view::npos) << text;
}

}  // namespace
