#pragma once

// The real command loop on a thread of its own with a short real poll
// interval, over a real data_dir and the stand-in wireguard.exe, while the
// test plays the client (and the faults) from the main thread.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <exception>
#include <functional>
#include <string>
#include <string_view>
#include <thread>

#include "exchange/command_loop.h"
#include "exchange/runner.h"
#include "support/temp_dir.h"

namespace tarsel::testing {

class LoopOnThread : public ::testing::Test {
  protected:
    TempDir temp;
    fs::path helper_dir = temp.path() / "Program Files" / "TarselVPN";
    fs::path data = temp.path() / "ProgramData" / "TarselVPN";
    exchange::StopFlag stop = exchange::StopFlag::create();
    std::atomic<std::size_t> passes{0};
    // Runs on the loop's thread at the end of every pass; set before start().
    std::function<void()> after_pass;

    void SetUp() override {
        install_standin(helper_dir);
        fs::create_directories(data);
    }
    void TearDown() override { stop_loop(); }

    void start() {
        exchange::LoopSettings settings{
            .data_dir = data,
            .poll_interval = std::chrono::milliseconds(2),
            .sleep =
                [this](std::chrono::nanoseconds interval) {
                    if (after_pass)
                        after_pass();
                    ++passes;
                    std::this_thread::sleep_for(interval);
                },
            .run_action =
                [this](std::string_view action) {
                    return exchange::run_tunnel_action(
                        action, exchange::RunnerContext{helper_dir / "tarsel-helper.exe", data});
                },
        };
        loop_ = std::thread([settings = std::move(settings), reference = stop]() mutable {
            exchange::command_loop(std::move(reference), settings);
        });
    }

    // Sets the flag and waits for the loop to return.
    void stop_loop() {
        stop.set();
        if (loop_.joinable())
            loop_.join();
    }

    // Polls `done` until it holds or the time is up (generous: under Wine on a
    // loaded machine one run of the stand-in can take a second).
    static bool wait_until(const std::function<bool()>& done,
                           std::chrono::seconds limit = std::chrono::seconds(120)) {
        const auto give_up = std::chrono::steady_clock::now() + limit;
        while (!done()) {
            if (std::chrono::steady_clock::now() > give_up)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return true;
    }

    // Lets `count` more passes of the loop go by.
    bool let_passes_go_by(std::size_t count) {
        const std::size_t target = passes + count;
        return wait_until([&] { return passes >= target; });
    }

    // On Windows the loop or the stand-in may have a file open for a moment
    // without the sharing the test's open asks for; such an open is retried.
    static bool retried(const std::function<void()>& step) {
        for (int attempt = 0; attempt < 1000; ++attempt) {
            try {
                step();
                return true;
            } catch (const std::exception&) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        }
        return false;
    }

    void command(std::string_view text) {
        ASSERT_TRUE(retried([&] { write_file(data / "command.json", text); }));
    }
    [[nodiscard]] std::size_t runs() const {
        std::size_t count = 0;
        EXPECT_TRUE(retried([&] { count = standin_runs(helper_dir).size(); }));
        return count;
    }
    // The bytes of result.json, or empty when it is missing or cannot be read.
    [[nodiscard]] std::string result() const {
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
    bool wait_for_result(std::string_view expected) {
        return wait_until([&] { return result() == expected; });
    }

  private:
    std::thread loop_;
};

}  // namespace tarsel::testing
