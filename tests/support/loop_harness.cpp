#include "support/loop_harness.h"

#include <exception>
#include <future>
#include <utility>

#include "exchange/runner.h"
#include "platform/environment.h"

namespace tarsel::testing {

LoopHarness::LoopHarness() { install_standin(helper_dir); }

LoopHarness::~LoopHarness() { stop_loop(); }

exchange::LoopSettings LoopHarness::settings(std::chrono::nanoseconds poll_interval,
                                             std::function<void(std::chrono::nanoseconds)> sleep) {
    return exchange::LoopSettings{
        .data_dir = data,
        .poll_interval = poll_interval,
        .sleep = std::move(sleep),
        .run_action =
            [this](std::string_view action) {
                auto outcome = exchange::run_tunnel_action(
                    action, exchange::RunnerContext{helper_dir / "tarsel-helper.exe", data});
                if (after_action)
                    after_action();
                return outcome;
            },
    };
}

bool LoopHarness::run_script(std::vector<Step> steps, const Step& release_if_stuck,
                             std::chrono::seconds limit) {
    sleeps_ = 0;
    const exchange::LoopSettings scripted =
        settings(std::chrono::milliseconds(1), [this, &steps](std::chrono::nanoseconds) {
            if (sleeps_ < steps.size()) {
                steps[sleeps_]();
            } else {
                stop.set();
            }
            ++sleeps_;
            if (after_pass)
                after_pass();
        });
    auto loop = std::async(std::launch::async, [&scripted, reference = stop]() mutable {
        exchange::command_loop(std::move(reference), scripted);
    });
    if (loop.wait_for(limit) == std::future_status::ready)
        return true;
    if (release_if_stuck)
        release_if_stuck();
    loop.wait();
    return false;
}

void LoopHarness::start(std::chrono::milliseconds poll_interval) {
    exchange::LoopSettings timed =
        settings(poll_interval, [this](std::chrono::nanoseconds interval) {
            if (after_pass)
                after_pass();
            ++passes_;
            std::this_thread::sleep_for(interval);
        });
    loop_ = std::thread([timed = std::move(timed), reference = stop]() mutable {
        exchange::command_loop(std::move(reference), timed);
    });
}

void LoopHarness::stop_loop() {
    if (loop_.joinable()) {
        stop.set();
        loop_.join();
    }
}

void LoopHarness::reset(bool make) {
    stop_loop();
    fs::remove_all(data);
    if (make)
        fs::create_directories(data);
    fs::remove(helper_dir / "wireguard-standin.log");
    set_standin_behaviour(helper_dir, {});
    stop = exchange::StopFlag::create();
}

bool LoopHarness::retried(const std::function<void()>& step, std::size_t* retries) {
    for (int attempt = 0; attempt < 1000; ++attempt) {
        try {
            step();
            return true;
        } catch (const std::exception&) {
            if (retries != nullptr)
                ++*retries;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    return false;
}

void LoopHarness::command(std::string_view text) {
    std::size_t retries = 0;
    const bool written = retried([&] { write_file(data / "command.json", text); }, &retries);
    command_retries_ += retries;
    if (!written)
        throw std::runtime_error("command.json could not be written for a second");
}

std::string LoopHarness::result() const {
    std::string bytes;
    std::error_code ec;
    if (fs::is_regular_file(data / "result.json", ec)) {
        try {
            bytes = read_file(data / "result.json");
        } catch (const std::exception&) {
        }
    }
    return bytes;
}

std::vector<LoopHarness::Arguments> LoopHarness::ran() const {
    std::vector<StandinRun> runs;
    if (!retried([&] { runs = standin_runs(helper_dir); }))
        throw std::runtime_error("the stand-in's log could not be read for a second");
    std::vector<Arguments> arguments;
    for (StandinRun& run : runs)
        arguments.push_back(std::move(run.arguments));
    return arguments;
}

LoopHarness::Arguments LoopHarness::up() const {
    return {"/installtunnelservice", platform::path_to_utf8(data / "tarsel.conf")};
}

LoopHarness::Arguments LoopHarness::down() { return {"/uninstalltunnelservice", "tarsel"}; }

bool LoopHarness::wait_until(const std::function<bool()>& done, std::chrono::seconds limit) {
    const auto give_up = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > give_up)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

bool LoopHarness::let_passes_go_by(std::size_t count) {
    const std::size_t target = passes_ + count;
    return wait_until([&] { return passes_ >= target; });
}

bool LoopHarness::wait_for_result(std::string_view expected) {
    return wait_until([&] { return result() == expected; });
}

}  // namespace tarsel::testing
