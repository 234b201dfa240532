// The helper as an installer and the service control manager see it: the built
// tarsel-helper.exe, installed under Program Files, run from a console and as
// a real service, with a client talking to it through its data directory.
#include <gtest/gtest.h>

#include <ostream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "e2e/service_machine.h"
#include "platform/environment.h"
#include "support/temp_dir.h"

namespace tarsel::e2e {

void PrintTo(const Registration& registration, std::ostream* out) {
    *out << "{type " << registration.service_type << ", start " << registration.start_type
         << ", error control " << registration.error_control << ", binary "
         << ::testing::PrintToString(registration.binary_path) << ", group "
         << ::testing::PrintToString(registration.load_order_group) << ", tag "
         << registration.tag_id << ", dependencies "
         << ::testing::PrintToString(registration.dependencies) << ", account "
         << ::testing::PrintToString(registration.start_name) << ", display name "
         << ::testing::PrintToString(registration.display_name) << "}";
}

namespace {

namespace support = tarsel::testing;

// What every refused service-manager or dispatcher call comes down to.
constexpr const char* kWinapiFailure = "IO error in winapi call\n";

long long ms(Clock::duration duration) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(duration).count();
}

Registration installed_registration() {
    return Registration{
        .service_type = SERVICE_WIN32_OWN_PROCESS,
        .start_type = SERVICE_AUTO_START,
        .error_control = SERVICE_ERROR_NORMAL,
        .binary_path = LR"("C:\Program Files\TarselVPN\tarsel-helper.exe")",
        .load_order_group = L"",
        .tag_id = 0,
        .dependencies = L"",
        .start_name = L"LocalSystem",
        .display_name = L"TarselVPN Helper",
    };
}

std::string quoted_standin() {
    return R"("C:\Program Files\TarselVPN\wireguard.exe")";
}

std::string up_command_line(const fs::path& data_dir) {
    std::string config = platform::path_to_utf8(data_dir / L"tarsel.conf");
    if (config.find_first_of(" \t") != std::string::npos)
        config = '"' + config + '"';
    return quoted_standin() + " /installtunnelservice " + config;
}

std::string down_command_line() {
    return quoted_standin() + " /uninstalltunnelservice tarsel";
}

std::string command(std::string_view action, std::uint64_t nonce) {
    return R"({"action":")" + std::string(action) + R"(","nonce":)" + std::to_string(nonce) + "}";
}

std::string succeeded(std::uint64_t nonce) {
    return R"({"nonce":)" + std::to_string(nonce) + R"(,"ok":true})";
}

// wireguard.exe that succeeds after a while, keeping the loop busy.
support::StandinBehaviour sleeping(unsigned ms) {
    support::StandinBehaviour behaviour;
    behaviour.sleep_ms = ms;
    return behaviour;
}

// wireguard.exe that keeps the loop busy until the test releases it (or a
// minute has gone by), so that checks made meanwhile hold on any machine.
support::StandinBehaviour gated() {
    support::StandinBehaviour behaviour;
    behaviour.release_cap_ms = 60000;
    return behaviour;
}

// The stand-in logs its command line before it does anything else, so a
// logged run means wireguard.exe is under way.
bool wait_for_standin_start(Clock::duration timeout) {
    const auto deadline = Clock::now() + timeout;
    while (support::standin_runs(install_directory()).empty()) {
        if (Clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

std::string joined(const std::vector<std::string>& arguments) {
    std::string text = "arguments:";
    for (const std::string& argument : arguments)
        text += " [" + argument + "]";
    return text;
}

class HelperService : public ::testing::Test {
  protected:
    void SetUp() override {
        manager_ = open_manager();
        remove_service(manager_.get());
        deploy_helper();
    }

    // Whatever a test did or left half done, the next one finds no service.
    void TearDown() override {
        if (manager_)
            remove_service(manager_.get());
    }

    // `install` from the console, then waits until the service runs and its
    // loop has created the data directory, which is then known. The service
    // starts with no data directory and the stand-in with no recorded runs,
    // so neither can be mistaken for what an earlier service left behind.
    void install_and_wait_until_running() {
        remove_data_dir_candidates();
        clear_standin_log();
        const HelperRun run = run_helper({"install"});
        ASSERT_EQ(run.exit_code, 0u) << run.standard_error;
        EXPECT_EQ(run.standard_output, "");
        EXPECT_EQ(run.standard_error, "");
        ASSERT_TRUE(wait_for_state(helper_service().get(), SERVICE_RUNNING, 30s));
        const auto found = wait_for_data_dir(10s);
        ASSERT_TRUE(found) << "the running service created no data directory";
        data_dir_ = *found;
    }

    // A handle that is open keeps a deleted registration alive, so tests hold
    // these only as long as they need them.
    [[nodiscard]] UniqueSc helper_service(DWORD access = SERVICE_ALL_ACCESS) const {
        auto service = open_service(manager_.get(), access);
        if (!service) {
            throw std::runtime_error("OpenServiceW failed with error " +
                                     std::to_string(service.error()));
        }
        return std::move(*service);
    }

    [[nodiscard]] UniqueProcess service_process() const {
        return open_process(query_status(helper_service().get()).dwProcessId);
    }

    UniqueSc manager_;
    fs::path data_dir_;
};

TEST_F(HelperService, InstallFromAPathWithABlankRegistersAndStartsTheService) {
    ASSERT_NO_FATAL_FAILURE(install_and_wait_until_running());
    const UniqueSc service = helper_service();
    EXPECT_EQ(query_registration(service.get()), installed_registration());
    const SERVICE_STATUS_PROCESS status = query_status(service.get());
    EXPECT_EQ(status.dwServiceType, SERVICE_WIN32_OWN_PROCESS);
    EXPECT_EQ(status.dwControlsAccepted, DWORD{SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN});
    EXPECT_EQ(status.dwWin32ExitCode, 0u);
    EXPECT_EQ(status.dwServiceSpecificExitCode, 0u);
    EXPECT_EQ(status.dwCheckPoint, 0u);
    EXPECT_EQ(status.dwWaitHint, 0u);
}

TEST_F(HelperService, ClientCommandsRunWireguardAndGetResults) {
    ASSERT_NO_FATAL_FAILURE(install_and_wait_until_running());
    enum class Run { None, Up, Down };
    struct Row {
        const char* desc;
        const char* action;
        support::StandinBehaviour behaviour;
        bool remove_wireguard;
        const char* result_after_nonce;
        Run run;
    };
    const Row rows[] = {
        {"up installs the tunnel service from tarsel.conf",
         "up",
         {},
         false,
         R"("ok":true})",
         Run::Up},
        {"down uninstalls the tunnel service", "down", {}, false, R"("ok":true})", Run::Down},
        {"a failing wireguard.exe reports its trimmed standard error",
         "up",
         {.exit_code = 1,
          .standard_error = "\r\n  tunnel \"tarsel\" is busy \r\n",
          .standard_output = "not part of the error\n"},
         false,
         R"("ok":false,"error":"tunnel \"tarsel\" is busy"})",
         Run::Up},
        {"an unknown action is named back",
         "Up",
         {},
         false,
         R"("ok":false,"error":"unknown action: Up"})",
         Run::None},
        {"no wireguard.exe beside the helper",
         "up",
         {},
         true,
         R"("ok":false,"error":"wireguard.exe not found next to helper"})",
         Run::None},
    };
    std::uint64_t nonce = 100;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.desc);
        ++nonce;
        clear_standin_log();
        if (row.remove_wireguard) {
            fs::remove(install_directory() / L"wireguard.exe");
        } else {
            support::set_standin_behaviour(install_directory(), row.behaviour);
        }
        write_command(data_dir_, command(row.action, nonce));
        const auto result = wait_for_result(data_dir_, nonce, 20s);
        ASSERT_TRUE(result) << "no result for nonce " << nonce;
        EXPECT_EQ(*result, R"({"nonce":)" + std::to_string(nonce) + "," + row.result_after_nonce);

        const auto runs = support::standin_runs(install_directory());
        if (row.run == Run::None) {
            EXPECT_TRUE(runs.empty());
        } else {
            ASSERT_EQ(runs.size(), 1u);
            EXPECT_EQ(runs[0].command_line,
                      row.run == Run::Up ? up_command_line(data_dir_) : down_command_line());
        }
    }
}

TEST_F(HelperService, StopWhileIdleEndsTheServiceWithinAPass) {
    ASSERT_NO_FATAL_FAILURE(install_and_wait_until_running());
    const UniqueSc service = helper_service();
    const UniqueProcess process = service_process();

    const auto start = Clock::now();
    SERVICE_STATUS answer{};
    ASSERT_TRUE(::ControlService(service.get(), SERVICE_CONTROL_STOP, &answer)) << ::GetLastError();
    const auto stopped = wait_for_state(service.get(), SERVICE_STOPPED, 10s);
    const auto took = Clock::now() - start;
    ASSERT_TRUE(stopped);
    // The loop looks at the flag every 300 ms; the rest is Wine's own latency.
    EXPECT_LT(ms(took), 3000);
    EXPECT_EQ(stopped->dwWin32ExitCode, 0u);
    EXPECT_EQ(stopped->dwServiceSpecificExitCode, 0u);
    EXPECT_EQ(stopped->dwControlsAccepted, 0u);
    EXPECT_EQ(wait_for_exit(process.get(), 10s), std::optional<DWORD>(0));
}

TEST_F(HelperService, StopWhileWireguardRunsLetsTheCommandFinishFirst) {
    ASSERT_NO_FATAL_FAILURE(install_and_wait_until_running());
    support::set_standin_behaviour(install_directory(), gated());
    write_command(data_dir_, command("up", 31));
    ASSERT_TRUE(wait_for_standin_start(10s));

    const UniqueSc service = helper_service();
    const UniqueProcess process = service_process();
    SERVICE_STATUS answer{};
    const bool controlled = ::ControlService(service.get(), SERVICE_CONTROL_STOP, &answer);
    const DWORD control_error = ::GetLastError();
    // The control is answered while wireguard.exe still runs; nothing waits for it.
    const DWORD state_while_running = query_status(service.get()).dwCurrentState;
    const auto result_while_running = read_shared(data_dir_ / L"result.json");
    support::release_standin(install_directory());
    ASSERT_TRUE(controlled) << control_error;
    EXPECT_EQ(state_while_running, DWORD{SERVICE_RUNNING});
    EXPECT_FALSE(result_while_running);

    const auto stopped = wait_for_state(service.get(), SERVICE_STOPPED, 30s);
    ASSERT_TRUE(stopped);
    EXPECT_EQ(read_shared(data_dir_ / L"result.json"), std::optional(succeeded(31)));
    EXPECT_EQ(stopped->dwWin32ExitCode, 0u);
    EXPECT_EQ(wait_for_exit(process.get(), 10s), std::optional<DWORD>(0));
}

TEST_F(HelperService, RestartActsAgainOnACommandStillPresent) {
    ASSERT_NO_FATAL_FAILURE(install_and_wait_until_running());
    write_command(data_dir_, command("up", 7));
    ASSERT_EQ(wait_for_result(data_dir_, 7, 20s), std::optional(succeeded(7)));

    const UniqueSc service = helper_service();
    {
        const UniqueProcess process = service_process();
        SERVICE_STATUS answer{};
        ASSERT_TRUE(::ControlService(service.get(), SERVICE_CONTROL_STOP, &answer));
        ASSERT_TRUE(wait_for_state(service.get(), SERVICE_STOPPED, 10s));
        ASSERT_TRUE(wait_for_exit(process.get(), 10s));
    }
    // result.json stays as the first life left it: the new service must act
    // again all the same, and write it again.
    const fs::path result_path = data_dir_ / L"result.json";
    // Asked through a handle that wants only the attributes and shares
    // everything, so that asking can never get in the way of the service's own
    // open of the file: a write that fails is not made again.
    const auto first_written = written_at(result_path);
    ASSERT_TRUE(first_written.has_value());
    clear_standin_log();

    ASSERT_TRUE(::StartServiceW(service.get(), 0, nullptr)) << ::GetLastError();
    ASSERT_TRUE(wait_for_standin_start(20s)) << "the command still present was not acted on";
    const auto deadline = Clock::now() + 20s;
    while (written_at(result_path) == first_written && Clock::now() < deadline)
        std::this_thread::sleep_for(10ms);
    EXPECT_NE(written_at(result_path), first_written) << "result.json not written again";
    EXPECT_EQ(wait_for_result(data_dir_, 7, 20s), std::optional(succeeded(7)));
    const auto runs = support::standin_runs(install_directory());
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0].command_line, up_command_line(data_dir_));
}

TEST_F(HelperService, InstallWhileInstalledFailsAndLeavesTheServiceAlone) {
    ASSERT_NO_FATAL_FAILURE(install_and_wait_until_running());
    const UniqueSc service = helper_service();
    const DWORD process_id = query_status(service.get()).dwProcessId;

    const HelperRun again = run_helper({"install"});
    EXPECT_EQ(again.exit_code, 1u);
    EXPECT_EQ(again.standard_output, "");
    EXPECT_EQ(again.standard_error, std::string("install failed: ") + kWinapiFailure);

    EXPECT_EQ(query_registration(service.get()), installed_registration());
    const SERVICE_STATUS_PROCESS status = query_status(service.get());
    EXPECT_EQ(status.dwCurrentState, DWORD{SERVICE_RUNNING});
    EXPECT_EQ(status.dwProcessId, process_id);
}

TEST_F(HelperService, UninstallStopsAndRemovesTheRunningService) {
    const std::vector<std::string> rows[] = {{"uninstall"}, {"uninstall", "extra", "words"}};
    std::uint64_t nonce = 60;
    for (const auto& arguments : rows) {
        SCOPED_TRACE(joined(arguments));
        ASSERT_NO_FATAL_FAILURE(install_and_wait_until_running());
        // Busy with a wireguard.exe that runs until it is released, the
        // service outlives the uninstall, which shows that the uninstall does
        // not wait for it.
        support::set_standin_behaviour(install_directory(), gated());
        write_command(data_dir_, command("up", ++nonce));
        ASSERT_TRUE(wait_for_standin_start(10s));
        const UniqueProcess process = service_process();

        const HelperRun run = run_helper(arguments);
        const DWORD service_process_wait = ::WaitForSingleObject(process.get(), 0);
        support::release_standin(install_directory());
        EXPECT_EQ(run.exit_code, 0u);
        EXPECT_EQ(run.standard_output, "");
        EXPECT_EQ(run.standard_error, "");
        EXPECT_EQ(service_process_wait, DWORD{WAIT_TIMEOUT});

        EXPECT_TRUE(wait_until_unregistered(manager_.get(), 20s));
        EXPECT_EQ(wait_for_exit(process.get(), 10s), std::optional<DWORD>(0));
        EXPECT_EQ(read_shared(data_dir_ / L"result.json"), std::optional(succeeded(nonce)));

        const HelperRun again = run_helper(arguments);
        EXPECT_EQ(again.exit_code, 1u);
        EXPECT_EQ(again.standard_output, "");
        EXPECT_EQ(again.standard_error, std::string("uninstall failed: ") + kWinapiFailure);
    }
}

TEST_F(HelperService, RepairWithNothingInstalledInstallsAtOnce) {
    const HelperRun run = run_helper({"repair"});
    EXPECT_EQ(run.exit_code, 0u);
    EXPECT_EQ(run.standard_output, "");
    EXPECT_EQ(run.standard_error, "");

    const UniqueSc service = helper_service();
    EXPECT_EQ(query_registration(service.get()), installed_registration());
    EXPECT_TRUE(wait_for_state(service.get(), SERVICE_RUNNING, 30s));
}

TEST_F(HelperService, RepairWaitsUntilTheOldServiceHasStopped) {
    ASSERT_NO_FATAL_FAILURE(install_and_wait_until_running());
    support::set_standin_behaviour(install_directory(), sleeping(3000));
    const auto written = Clock::now();
    write_command(data_dir_, command("up", 51));
    ASSERT_TRUE(wait_for_standin_start(10s));
    // Already taken up by the old service; the new one is to find nothing.
    fs::remove(data_dir_ / L"command.json");
    const UniqueProcess old_process = service_process();

    const HelperRun run = run_helper({"repair"});
    const auto repaired = Clock::now();
    EXPECT_EQ(run.exit_code, 0u);
    EXPECT_EQ(run.standard_output, "");
    EXPECT_EQ(run.standard_error, "");
    // The name stays taken until wireguard.exe has ended and the old service
    // has stopped after writing its result.
    EXPECT_GE(ms(repaired - written), 3000);
    EXPECT_EQ(wait_for_exit(old_process.get(), 10s), std::optional<DWORD>(0));
    EXPECT_EQ(read_shared(data_dir_ / L"result.json"), std::optional(succeeded(51)));

    const UniqueSc service = helper_service();
    EXPECT_EQ(query_registration(service.get()), installed_registration());
    EXPECT_TRUE(wait_for_state(service.get(), SERVICE_RUNNING, 30s));
}

TEST_F(HelperService, RepairGivesUpWhileTheOldRegistrationIsHeldOpen) {
    ASSERT_NO_FATAL_FAILURE(install_and_wait_until_running());
    // An open handle keeps the deleted registration, so every create is refused.
    UniqueSc held = helper_service(SERVICE_QUERY_STATUS);

    const HelperRun run = run_helper({"repair"});
    EXPECT_EQ(run.exit_code, 1u);
    EXPECT_EQ(run.standard_output, "");
    EXPECT_EQ(run.standard_error, std::string("repair failed: ") + kWinapiFailure);
    // Sixty attempts, each followed by a pause of 250 ms.
    EXPECT_GE(ms(run.took), 15000);

    // The uninstall step did stop the old service; only the handle kept its name.
    EXPECT_TRUE(wait_for_state(held.get(), SERVICE_STOPPED, 10s));
    EXPECT_FALSE(wait_until_unregistered(manager_.get(), 0s));
    held.reset();
    EXPECT_TRUE(wait_until_unregistered(manager_.get(), 10s));
}

TEST_F(HelperService, FromAConsoleEveryOtherWordTriesTheDispatcherAndFails) {
    struct Row {
        const char* desc;
        std::vector<std::string> arguments;
    };
    const Row rows[] = {
        {"no argument", {}},
        {"a console word in capitals", {"INSTALL"}},
        {"a console word with a trailing blank", {"install "}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.desc);
        const HelperRun run = run_helper(row.arguments);
        EXPECT_EQ(run.exit_code, 1u);
        EXPECT_EQ(run.standard_output, "");
        EXPECT_EQ(run.standard_error, std::string("service dispatch failed: ") + kWinapiFailure);
        const auto service = open_service(manager_.get());
        ASSERT_FALSE(service) << "a failed dispatch left a service behind";
        EXPECT_EQ(service.error(), DWORD{ERROR_SERVICE_DOES_NOT_EXIST});
    }
}

}  // namespace
}  // namespace tarsel::e2e
