// The installed helper under Wine's service control manager: how long a
// client waits for its answer, what starting and reaping the stand-in costs
// here, what tarselctl.exe adds around the same answer (its own start and its
// 100 ms look at result.json), and how soon a STOP ends the service while
// idle. Prints "name value" lines. Installs the service into the prefix it
// runs in and removes it again.
//
// Usage: tarsel-wine-latency.exe [commands] [stops] [tarselctl-runs]
#include <windows.h>

#include <cstdio>
#include <exception>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "e2e/service_machine.h"
#include "exchange/command_line.h"
#include "latency_stats.h"
#include "platform/process.h"
#include "support/temp_dir.h"

namespace {

using namespace tarsel;
using namespace tarsel::e2e;
using bench::milliseconds;
using bench::percentile;

void print_spread(const char* name, const std::vector<double>& values) {
    std::printf("%s_median_ms %.2f\n", name, percentile(values, 0.5));
    std::printf("%s_p99_ms %.2f\n", name, percentile(values, 0.99));
    std::printf("%s_max_ms %.2f\n", name, percentile(values, 1.0));
}

platform::ProcessRequest request_for(const fs::path& program, std::vector<std::string> arguments) {
    auto command_line = exchange::encode_command_line(platform::path_to_utf16(program), arguments);
    return {program, std::move(arguments), std::move(command_line)};
}

// Times `count` runs of the program that end with exit code 0. Wine now and
// then fails a process start with error 1359 (internal error); such a start
// is counted in `failed_starts` and left out of the timing. Nothing when the
// program fails for another reason, or Wine keeps failing.
std::optional<std::vector<double>> time_runs(const platform::ProcessRequest& request, int count,
                                             int& failed_starts,
                                             const std::function<void()>& before = {}) {
    std::vector<double> times;
    while (static_cast<int>(times.size()) < count) {
        if (before) {
            before();
        }
        const auto start = Clock::now();
        const auto output = platform::run_process(request);
        const auto took = Clock::now() - start;
        if (!output) {
            std::fprintf(stderr, "%s did not start: %s\n", request.program.string().c_str(),
                         platform::os_error_text(output.error()).c_str());
            if (++failed_starts > 10) {
                return std::nullopt;
            }
            continue;
        }
        if (output->exit_code != 0) {
            std::fprintf(stderr, "%s: exit code %u: %s%s\n", request.program.string().c_str(),
                         output->exit_code, output->standard_output.c_str(),
                         output->standard_error.c_str());
            return std::nullopt;
        }
        times.push_back(milliseconds(took));
    }
    return times;
}

// The state once it is `state`, looked at every millisecond so that the time
// to it is not rounded up to a coarser poll; false after `timeout`.
bool wait_closely_for_state(SC_HANDLE service, DWORD state, Clock::duration timeout) {
    const auto deadline = Clock::now() + timeout;
    while (query_status(service).dwCurrentState != state) {
        if (Clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

int run(int commands, int stops, int tarselctl_runs) {
    std::mt19937 random(12345);
    std::uniform_int_distribution<int> pause_us(0, 100'000);
    std::uniform_int_distribution<int> phase_us(0, 300'000);
    const UniqueSc manager = open_manager();
    remove_service(manager.get());
    remove_data_dir_candidates();
    deploy_helper();

    // The stand-in started and reaped directly, as the runner does.
    int failed_starts = 0;
    const auto spawns = time_runs(
        request_for(install_directory() / L"wireguard.exe",
                    {"/installtunnelservice", "C:\\x\\tarsel.conf"}),
        50, failed_starts);
    if (!spawns) {
        return 1;
    }
    std::printf("wine_spawn_median_ms %.2f\n", percentile(*spawns, 0.5));
    clear_standin_log();

    const HelperRun install = run_helper({"install"});
    if (install.exit_code != 0) {
        std::fprintf(stderr, "install failed: %s\n", install.standard_error.c_str());
        return 1;
    }
    auto service = open_service(manager.get());
    if (!service || !wait_for_state(service->get(), SERVICE_RUNNING, 30s)) {
        std::fprintf(stderr, "the service did not start\n");
        return 1;
    }
    const auto data_dir = wait_for_data_dir(10s);
    if (!data_dir) {
        std::fprintf(stderr, "no data directory\n");
        return 1;
    }

    std::vector<double> latencies;
    for (int nonce = 1; nonce <= commands; ++nonce) {
        // A client writes at any moment, also soon after the last answer.
        std::this_thread::sleep_for(std::chrono::microseconds(pause_us(random)));
        const std::string expected = "{\"nonce\":" + std::to_string(nonce) + ",\"ok\":true}";
        write_command(*data_dir, "{\"action\":\"up\",\"nonce\":" + std::to_string(nonce) + "}");
        const auto landed = Clock::now();
        for (;;) {
            if (read_shared(*data_dir / L"result.json") == expected) {
                break;
            }
            if (Clock::now() - landed > 20s) {
                std::fprintf(stderr, "no answer to nonce %d\n", nonce);
                return 1;
            }
            std::this_thread::sleep_for(1ms);
        }
        latencies.push_back(milliseconds(Clock::now() - landed));
    }
    std::printf("wine_answer_commands %d\n", commands);
    print_spread("wine_answer", latencies);

    // The same answer through tarselctl.exe, started as a Windows program
    // starts another; and tarselctl.exe's start alone, on a command that only
    // reads and checks the command file in place.
    const fs::path tarselctl = testing::program_directory() / L"tarselctl.exe";
    const auto through_tarselctl =
        time_runs(request_for(tarselctl, {"--dir", data_dir->string(), "up"}), tarselctl_runs,
                  failed_starts,
                  [&] { std::this_thread::sleep_for(std::chrono::microseconds(pause_us(random))); });
    if (!through_tarselctl) {
        return 1;
    }
    std::printf("wine_tarselctl_runs %d\n", tarselctl_runs);
    print_spread("wine_tarselctl_up", *through_tarselctl);
    const auto tarselctl_start = time_runs(
        request_for(tarselctl, {"check", (*data_dir / L"command.json").string()}), tarselctl_runs, failed_starts);
    if (!tarselctl_start) {
        return 1;
    }
    print_spread("wine_tarselctl_check", *tarselctl_start);

    std::vector<double> stop_times;
    for (int i = 0; i < stops; ++i) {
        if (i != 0 && (!::StartServiceW(service->get(), 0, nullptr) ||
                       !wait_for_state(service->get(), SERVICE_RUNNING, 30s))) {
            std::fprintf(stderr, "the service did not start again\n");
            return 1;
        }
        // Stopped at a random point of its cycle, once it waits idle.
        std::this_thread::sleep_for(std::chrono::microseconds(300'000 + phase_us(random)));
        const auto sent = Clock::now();
        SERVICE_STATUS answer{};
        if (!::ControlService(service->get(), SERVICE_CONTROL_STOP, &answer) ||
            !wait_closely_for_state(service->get(), SERVICE_STOPPED, 10s)) {
            std::fprintf(stderr, "the service did not stop\n");
            return 1;
        }
        stop_times.push_back(milliseconds(Clock::now() - sent));
    }
    std::printf("wine_stop_runs %d\n", stops);
    print_spread("wine_stop", stop_times);
    std::printf("wine_start_failures %d\n", failed_starts);
    // An open handle would keep the deleted registration alive.
    service->reset();
    remove_service(manager.get());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return run(argc > 1 ? std::stoi(argv[1]) : 200, argc > 2 ? std::stoi(argv[2]) : 20,
                   argc > 3 ? std::stoi(argv[3]) : 20);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s\n", error.what());
        return 1;
    }
}
