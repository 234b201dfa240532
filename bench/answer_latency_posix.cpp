// The native helper as a separate process, in the foreground as developers
// run it: how long a client waits for its answer, quietly and while another
// file in data_dir is rewritten as fast as possible, how much of a core the
// helper takes meanwhile, how much memory it holds, and how soon it ends after
// SIGTERM. Prints "name value" lines.
//
// Usage: tarsel-answer-latency [commands] [stops] [storm-seconds]
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
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

// Nanoseconds the process's threads have spent on a CPU so far, from the
// scheduler's own account (exact, where utime and stime are sampled at the
// clock tick). The stand-in children are processes of their own and do not
// count.
double cpu_seconds(int pid) {
    double total = 0;
    const fs::path tasks = "/proc/" + std::to_string(pid) + "/task";
    for (const auto& task : fs::directory_iterator(tasks)) {
        std::ifstream schedstat(task.path() / "schedstat");
        unsigned long long on_cpu_ns = 0;
        if (schedstat >> on_cpu_ns) {
            total += static_cast<double>(on_cpu_ns) / 1e9;
        }
    }
    return total;
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

// Renames a fresh command.json into place as a client does and waits for the
// complete result.json carrying its nonce; the time from the rename to that
// read, or nothing after 10 s.
std::optional<double> answer_time(const Installation& installation, std::uint64_t nonce) {
    const std::string expected = "{\"nonce\":" + std::to_string(nonce) + ",\"ok\":true}";
    write_file(installation.data / "command.json.tmp",
               "{\"action\":\"up\",\"nonce\":" + std::to_string(nonce) + "}");
    fs::rename(installation.data / "command.json.tmp", installation.data / "command.json");
    const auto landed = Clock::now();
    const bool answered = wait_for(
        [&] {
            std::ifstream in(installation.data / "result.json", std::ios::binary);
            std::string content(expected.size() + 1, '\0');
            in.read(content.data(), static_cast<std::streamsize>(content.size()));
            content.resize(static_cast<std::size_t>(in.gcount()));
            return content == expected;
        },
        std::chrono::seconds(10));
    if (!answered) {
        std::fprintf(stderr, "no answer to nonce %llu\n", static_cast<unsigned long long>(nonce));
        return std::nullopt;
    }
    return milliseconds(Clock::now() - landed);
}

void print_spread(const char* name, const std::vector<double>& values) {
    std::printf("%s_median_ms %.2f\n", name, percentile(values, 0.5));
    std::printf("%s_p99_ms %.2f\n", name, percentile(values, 0.99));
    std::printf("%s_max_ms %.2f\n", name, percentile(values, 1.0));
}

// Rewrites another file in data_dir, in place, as fast as it can until told
// to stop; counts the rewrites.
class Storm {
  public:
    explicit Storm(const fs::path& file)
        : writer_([this, path = file.string()] {
              while (!stop_.load(std::memory_order_relaxed)) {
                  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
                  if (fd >= 0) {
                      (void)!::write(fd, "storm", 5);
                      ::close(fd);
                      ++writes_;
                  }
              }
          }) {}
    Storm(const Storm&) = delete;
    Storm& operator=(const Storm&) = delete;
    ~Storm() { (void)finish(); }

    // Stops the writer; the rewrites it made.
    long finish() {
        stop_ = true;
        if (writer_.joinable()) {
            writer_.join();
        }
        return writes_;
    }

  private:
    std::atomic<bool> stop_{false};
    long writes_ = 0;
    std::thread writer_;
};

}  // namespace

int main(int argc, char** argv) {
    const int commands = argc > 1 ? std::stoi(argv[1]) : 500;
    const int stops = argc > 2 ? std::stoi(argv[2]) : 20;
    const double storm_seconds = argc > 3 ? std::stod(argv[3]) : 3.0;
    std::mt19937 random(12345);
    // A client writes at any moment, also soon after the last answer and
    // while the helper is still inside its minimum gap between wakes.
    std::uniform_int_distribution<int> pause_us(0, 60'000);
    std::uniform_int_distribution<int> phase_us(0, 300'000);
    std::uint64_t nonce = 0;

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
        for (int i = 0; i < commands; ++i) {
            std::this_thread::sleep_for(std::chrono::microseconds(pause_us(random)));
            const auto latency = answer_time(installation, ++nonce);
            if (!latency) {
                return 1;
            }
            latencies.push_back(*latency);
        }
        std::printf("answering_peak_rss_kib %ld\n", peak_resident_kib(helper.pid()));
        std::printf("answer_commands %d\n", commands);
        print_spread("answer", latencies);

        // The storm: the helper's CPU time over it, and commands sent during it.
        std::vector<double> storm_latencies;
        const double cpu_before = cpu_seconds(helper.pid());
        const auto storm_start = Clock::now();
        long writes = 0;
        {
            Storm storm(installation.data / "other.json");
            const auto storm_end =
                storm_start + std::chrono::duration_cast<Clock::duration>(
                                  std::chrono::duration<double>(storm_seconds));
            while (Clock::now() < storm_end) {
                std::this_thread::sleep_for(std::chrono::microseconds(pause_us(random)));
                const auto latency = answer_time(installation, ++nonce);
                if (!latency) {
                    return 1;
                }
                storm_latencies.push_back(*latency);
            }
            writes = storm.finish();
        }
        const double storm_elapsed = std::chrono::duration<double>(Clock::now() - storm_start).count();
        const double cpu_used = cpu_seconds(helper.pid()) - cpu_before;
        std::printf("storm_seconds %.2f\n", storm_elapsed);
        std::printf("storm_writes_per_second %.0f\n", static_cast<double>(writes) / storm_elapsed);
        std::printf("storm_cpu_percent %.2f\n", 100.0 * cpu_used / storm_elapsed);
        std::printf("storm_commands %zu\n", storm_latencies.size());
        print_spread("storm_answer", storm_latencies);
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
        stop_times.push_back(milliseconds(time_stop(helper, SIGTERM)));
    }
    std::printf("stop_runs %d\n", stops);
    print_spread("stop", stop_times);
    return 0;
}
