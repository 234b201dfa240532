// The native helper as a separate process, in the foreground as developers
// run it: how long a client waits for its answer, how much memory the helper
// holds, and how soon it ends after a stop. Prints "name value" lines.
//
// Usage: tarsel-answer-latency [commands] [stops]
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "latency_stats.h"
#include "support/foreground_helper.h"
#include "support/temp_dir.h"

namespace {

using namespace tarsel::testing;
using tarsel::bench::milliseconds;
using tarsel::bench::percentile;
using Clock = std::chrono::steady_clock;

// VmHWM from /proc: the peak resident set of the process so far, in KiB.
long peak_resident_kib(int pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.starts_with("VmHWM:")) {
            return std::stol(line.substr(6));
        }
    }
    return -1;
}

// Sends the signal and waits for the exit; the time in between.
Clock::duration time_stop(ForegroundHelper& helper, int signal) {
    const auto sent = Clock::now();
    (void)helper.stop(signal);
    return Clock::now() - sent;
}

bool wait_for(const auto& condition, std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    while (!condition()) {
        if (Clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
}

// A private copy of the helper with the stand-in beside it, and its own
// PROGRAMDATA.
struct Installation {
    TempDir temp;
    fs::path helper = temp.path() / "helper" / "tarsel-helper";
    fs::path data = temp.path() / "ProgramData" / "TarselVPN";

    Installation() {
        install_standin(helper.parent_path());
        fs::copy_file(program_directory() / "tarsel-helper", helper);
    }
    [[nodiscard]] fs::path program_data() const { return data.parent_path(); }
};

// Whether the helper started and made its data directory, which it does
// before its first pass; says so on standard error when not.
bool serving(const ForegroundHelper& helper, const Installation& installation) {
    if (helper.started() &&
        wait_for([&] { return fs::exists(installation.data); }, std::chrono::seconds(10))) {
        return true;
    }
    std::fprintf(stderr, "the helper did not start\n");
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    const int commands = argc > 1 ? std::stoi(argv[1]) : 200;
    const int stops = argc > 2 ? std::stoi(argv[2]) : 10;
    std::mt19937 random(12345);
    std::uniform_int_distribution<int> phase_us(0, 300'000);

    {
        const Installation installation;
        ForegroundHelper helper(installation.helper, installation.program_data());
        if (!serving(helper, installation)) {
            return 1;
        }
        // A few idle passes before the first look at its memory.
        std::this_thread::sleep_for(std::chrono::seconds(2));
        std::printf("idle_peak_rss_kib %ld\n", peak_resident_kib(helper.pid()));

        std::vector<double> latencies;
        for (int nonce = 1; nonce <= commands; ++nonce) {
            // A client writes at any moment of the helper's 300 ms cycle.
            std::this_thread::sleep_for(std::chrono::microseconds(phase_us(random)));
            const std::string expected = "{\"nonce\":" + std::to_string(nonce) + ",";
            write_file(installation.data / "command.json.tmp",
                       "{\"action\":\"up\",\"nonce\":" + std::to_string(nonce) + "}");
            fs::rename(installation.data / "command.json.tmp", installation.data / "command.json");
            const auto landed = Clock::now();
            const bool answered = wait_for(
                [&] {
                    std::ifstream in(installation.data / "result.json", std::ios::binary);
                    std::string head(expected.size(), '\0');
                    return in.read(head.data(), static_cast<std::streamsize>(head.size())) &&
                           head == expected;
                },
                std::chrono::seconds(10));
            if (!answered) {
                std::fprintf(stderr, "no answer to nonce %d\n", nonce);
                return 1;
            }
            latencies.push_back(milliseconds(Clock::now() - landed));
        }
        std::printf("answering_peak_rss_kib %ld\n", peak_resident_kib(helper.pid()));
        std::printf("answer_commands %d\n", commands);
        std::printf("answer_median_ms %.2f\n", percentile(latencies, 0.5));
        std::printf("answer_p99_ms %.2f\n", percentile(latencies, 0.99));
        std::printf("answer_max_ms %.2f\n", percentile(latencies, 1.0));
    }

    std::vector<double> stop_times;
    for (int i = 0; i < stops; ++i) {
        const Installation installation;
        ForegroundHelper helper(installation.helper, installation.program_data());
        if (!serving(helper, installation)) {
            return 1;
        }
        // Stopped at a random point of its cycle, as a stop arrives.
        std::this_thread::sleep_for(std::chrono::microseconds(300'000 + phase_us(random)));
        stop_times.push_back(milliseconds(time_stop(helper, SIGINT)));
    }
    std::printf("stop_runs %d\n", stops);
    std::printf("stop_median_ms %.2f\n", percentile(stop_times, 0.5));
    std::printf("stop_max_ms %.2f\n", percentile(stop_times, 1.0));
    return 0;
}
