// The native tarselctl against the native helper running in the foreground,
// as a developer uses them: real processes, a real data directory, the
// stand-in wireguard.exe beside a private copy of the helper.
#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "platform/process.h"
#include "support/foreground_helper.h"
#include "support/temp_dir.h"

namespace {

using namespace tarsel;
using namespace tarsel::testing;

platform::ProcessOutput tarselctl(std::vector<std::string> arguments) {
    const auto output =
        platform::run_process({program_directory() / "tarselctl", std::move(arguments), {}});
    EXPECT_TRUE(output.has_value());
    return output.value_or(platform::ProcessOutput{99, {}, {}});
}

TEST(TarselctlWithForegroundHelper, UpDownFailureAndNoAnswer) {
    TempDir temp;
    const fs::path helper_dir = temp.path() / "helper";
    install_standin(helper_dir);
    fs::copy_file(program_directory() / "tarsel-helper", helper_dir / "tarsel-helper");
    const fs::path data = temp.path() / "ProgramData" / "TarselVPN";
    const std::string dir = data.string();

    ForegroundHelper helper(helper_dir / "tarsel-helper", temp.path() / "ProgramData");
    ASSERT_TRUE(helper.started());
    // The helper makes its data directory as it starts.
    for (int i = 0; i < 100 && !fs::exists(data); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ASSERT_TRUE(fs::exists(data));

    auto up = tarselctl({"--dir", dir, "--timeout", "20", "up"});
    EXPECT_EQ(up.exit_code, 0u) << up.standard_error;
    EXPECT_TRUE(up.standard_output.starts_with("up: ok (nonce ")) << up.standard_output;
    auto runs = standin_runs(helper_dir);
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0].arguments,
              (std::vector<std::string>{"/installtunnelservice", (data / "tarsel.conf").string()}));

    StandinBehaviour failing;
    failing.exit_code = 1;
    failing.standard_error = "Tunnel not found\r\n";
    set_standin_behaviour(helper_dir, failing);
    auto down = tarselctl({"down", "--dir", dir, "--timeout", "20"});
    EXPECT_EQ(down.exit_code, 1u);
    EXPECT_EQ(down.standard_output, "");
    EXPECT_EQ(down.standard_error, "tarselctl: down failed: Tunnel not found\n");
    runs = standin_runs(helper_dir);
    ASSERT_EQ(runs.size(), 2u);
    EXPECT_EQ(runs[1].arguments, (std::vector<std::string>{"/uninstalltunnelservice", "tarsel"}));

    const auto status = tarselctl({"--dir", dir, "status"});
    EXPECT_EQ(status.exit_code, 0u);
    EXPECT_NE(status.standard_output.find("command: action=\"down\""), std::string::npos)
        << status.standard_output;
    EXPECT_NE(status.standard_output.find("failed, error=\"Tunnel not found\""), std::string::npos)
        << status.standard_output;

    EXPECT_EQ(helper.stop(SIGTERM), 0);
    const auto unanswered = tarselctl({"--dir", dir, "--timeout", "1", "up"});
    EXPECT_EQ(unanswered.exit_code, 2u);
    EXPECT_NE(unanswered.standard_error.find("probably not running"), std::string::npos)
        << unanswered.standard_error;
    EXPECT_EQ(standin_runs(helper_dir).size(), 2u);
}

}  // namespace
