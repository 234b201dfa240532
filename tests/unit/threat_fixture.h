#pragma once

// The real command loop over a real data_dir, with the stand-in wireguard.exe,
// for tests in which a hostile local user has prepared data_dir. Each pass of
// the loop ends in its sleep, where the next step of the script runs; once the
// script is done the stop flag is set. The loop runs on a thread of its own so
// that a loop stuck in a system call shows up as a failure, not a hang.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <future>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "exchange/command_loop.h"
#include "exchange/runner.h"
#include "support/temp_dir.h"

namespace tarsel::testing {

class ThreatModel : public ::testing::Test {
  protected:
    TempDir temp;
    fs::path helper_dir = temp.path() / "helper";
    fs::path data = temp.path() / "ProgramData" / "TarselVPN";
    // What a user points links at. The helper must never change anything here.
    fs::path outside = temp.path() / "outside";
    std::vector<std::function<void()>> script;
    // Runs once wireguard.exe has answered and before the result is written:
    // the moment a user who sent a command waits for.
    std::function<void()> after_action;

    void SetUp() override {
        install_standin(helper_dir);
        fs::create_directories(data);
        fs::create_directories(outside);
    }

    // Runs one life of the loop through the script. False when the loop did
    // not return in time; `release_if_stuck` then frees it so the test ends.
    bool run_loop(const std::function<void()>& release_if_stuck = {}) {
        exchange::StopFlag stop = exchange::StopFlag::create();
        std::size_t step = 0;
        const exchange::LoopSettings settings{
            .data_dir = data,
            .poll_interval = std::chrono::milliseconds(1),
            .sleep =
                [&](std::chrono::nanoseconds) {
                    if (step < script.size()) {
                        script[step++]();
                    } else {
                        stop.set();
                    }
                },
            .run_action =
                [this](std::string_view action) {
                    auto outcome = exchange::run_tunnel_action(
                        action, exchange::RunnerContext{helper_dir / "tarsel-helper.exe", data});
                    if (after_action) {
                        after_action();
                    }
                    return outcome;
                },
        };
        auto loop = std::async(std::launch::async,
                               [&settings, stop] { exchange::command_loop(stop, settings); });
        if (loop.wait_for(std::chrono::seconds(30)) == std::future_status::ready) {
            return true;
        }
        if (release_if_stuck) {
            release_if_stuck();
        }
        loop.wait();
        return false;
    }

    void command(std::string_view text) const { write_file(data / "command.json", text); }
    [[nodiscard]] std::size_t runs() const { return standin_runs(helper_dir).size(); }
    [[nodiscard]] std::string result() const { return read_file(data / "result.json"); }

    // One staged attack on data_dir. It is in place for the first pass, which
    // finds the command nonce 1 if the attack left one readable; then the
    // attack is cleared away and an honest client asks for nonce 2.
    struct Attack {
        const char* desc;
        std::function<void()> plant;
        std::size_t runs_under_attack;  // 1 when only result.json is attacked
        std::function<void()> release_if_stuck = {};
        std::function<void()> check_after = {};
    };

    void check_attacks(const std::vector<Attack>& attacks) {
        for (const Attack& attack : attacks) {
            SCOPED_TRACE(attack.desc);
            fs::remove_all(data);
            fs::remove_all(outside);
            fs::create_directories(data);
            fs::create_directories(outside);
            fs::remove(helper_dir / "wireguard-standin.log");
            attack.plant();
            const auto before = outside_snapshot();
            std::size_t attacked_runs = 0;
            std::map<std::string, std::string> attacked;
            script = {
                [&] {
                    attacked_runs = runs();
                    attacked = outside_snapshot();
                    fs::remove_all(data / "command.json");
                    fs::remove_all(data / "result.json");
                    command(R"({"action":"up","nonce":2})");
                },
                [] {},
            };
            EXPECT_TRUE(run_loop(attack.release_if_stuck)) << "the loop blocked";
            EXPECT_EQ(attacked_runs, attack.runs_under_attack);
            EXPECT_EQ(attacked, before) << "something outside data_dir changed";
            EXPECT_EQ(runs(), attack.runs_under_attack + 1);
            EXPECT_EQ(result(), R"({"nonce":2,"ok":true})");
            if (attack.check_after) {
                attack.check_after();
            }
        }
    }

    // Every name under `outside` with the content of each regular file.
    [[nodiscard]] std::map<std::string, std::string> outside_snapshot() const {
        std::map<std::string, std::string> entries;
        for (const auto& entry : fs::recursive_directory_iterator(outside)) {
            const std::string name = entry.path().lexically_relative(outside).generic_string();
            entries[name] = entry.is_regular_file() ? read_file(entry.path()) : "<not a file>";
        }
        return entries;
    }
};

}  // namespace tarsel::testing
