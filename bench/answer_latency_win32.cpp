// The installed helper under Wine's service control manager: how long a
// client waits for its answer, what starting and reaping the stand-in costs
// here, and how soon a STOP ends the service while idle. Prints
// "name value" lines. Installs the service into the prefix it runs in and
// removes it again.
//
// Usage: tarsel-wine-latency.exe [commands] [stops]
#include <windows.h>

#include <cstdio>
#include <exception>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "e2e/service_machine.h"
#include "exchange/command_line.h"
#include "latency_stats.h"
#include "platform/process.h"

namespace {

using namespace tarsel;
using namespace tarsel::e2e;
using bench::milliseconds;
using bench::percentile;

int run(int commands, int stops) {
    std::mt19937 random(12345);
    std::uniform_int_distribution<int> phase_us(0, 300'000);
    const UniqueSc manager = open_manager();
    remove_service(manager.get());
    remove_data_dir_candidates();
    deploy_helper();

    // The stand-in started and reaped directly, as the runner does.
    const std::vector<std::string> arguments{"/installtunnelservice", "C:\\x\\tarsel.conf"};
    const fs::path standin = install_directory() / L"wireguard.exe";
    const platform::ProcessRequest request{
        standin, arguments,
        exchange::encode_command_line(platform::path_to_utf16(standin), arguments)};
    // Wine now and then fails a process start with error 1359 (internal
    // error); such a start is counted and left out of the timing.
    std::vector<double> spawns;
    int failed_starts = 0;
    while (spawns.size() < 50) {
        const auto start = Clock::now();
        const auto output = platform::run_process(request);
        if (!output || output->exit_code != 0) {
            std::fprintf(stderr, "the stand-in did not run: %s\n",
                         output ? ("exit code " + std::to_string(output->exit_code)).c_str()
                                : platform::os_error_text(output.error()).c_str());
            if (++failed_starts > 10) {
                return 1;
            }
            continue;
        }
        spawns.push_back(milliseconds(Clock::now() - start) * 1000.0);
    }
    std::printf("wine_spawn_failures %d\n", failed_starts);
    std::printf("wine_spawn_median_us %.0f\n", percentile(spawns, 0.5));
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
        std::this_thread::sleep_for(std::chrono::microseconds(phase_us(random)));
        const std::string expected = "{\"nonce\":" + std::to_string(nonce) + ",";
        write_command(*data_dir, "{\"action\":\"up\",\"nonce\":" + std::to_string(nonce) + "}");
        const auto landed = Clock::now();
        for (;;) {
            const auto content = read_shared(*data_dir / L"result.json");
            if (content && content->starts_with(expected) && content->ends_with('}')) {
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
    std::printf("wine_answer_median_ms %.2f\n", percentile(latencies, 0.5));
    std::printf("wine_answer_p99_ms %.2f\n", percentile(latencies, 0.99));

    std::vector<double> stop_times;
    for (int i = 0; i < stops; ++i) {
        if (i != 0 && (!::StartServiceW(service->get(), 0, nullptr) ||
                       !wait_for_state(service->get(), SERVICE_RUNNING, 30s))) {
            std::fprintf(stderr, "the service did not start again\n");
            return 1;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(300'000 + phase_us(random)));
        const auto sent = Clock::now();
        SERVICE_STATUS answer{};
        if (!::ControlService(service->get(), SERVICE_CONTROL_STOP, &answer) ||
            !wait_for_state(service->get(), SERVICE_STOPPED, 10s)) {
            std::fprintf(stderr, "the service did not stop\n");
            return 1;
        }
        stop_times.push_back(milliseconds(Clock::now() - sent));
    }
    std::printf("wine_stop_runs %d\n", stops);
    std::printf("wine_stop_median_ms %.0f\n", percentile(stop_times, 0.5));
    // An open handle would keep the deleted registration alive.
    service->reset();
    remove_service(manager.get());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return run(argc > 1 ? std::stoi(argv[1]) : 200, argc > 2 ? std::stoi(argv[2]) : 5);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s\n", error.what());
        return 1;
    }
}
