// The real command loop against a real directory and the stand-in
// wireguard.exe. Between passes the loop calls its sleep, which the harness
// uses as the clock: step k of a script runs in place of the k-th sleep, and
// the flag is set once the script is done. No test depends on timing except
// the one that stops the loop while wireguard.exe is still running.
#include "exchange/command_loop.h"

#include <gtest/gtest.h>

#include <functional>
#include <thread>
#include <vector>

#include "exchange/documents.h"
#include "support/temp_dir.h"

namespace {

using namespace tarsel;
using namespace tarsel::testing;

class CommandLoop : public ::testing::Test {
  protected:
    TempDir temp;
    fs::path helper_dir = temp.path() / "Program Files" / "TarselVPN";
    fs::path data = temp.path() / "ProgramData" / "TarselVPN";
    exchange::StopFlag stop = exchange::StopFlag::create();
    std::vector<std::function<void()>> script;
    std::size_t sleeps = 0;

    void SetUp() override { install_standin(helper_dir); }

    exchange::LoopSettings settings() {
        return exchange::LoopSettings{
            .data_dir = data,
            .poll_interval = std::chrono::milliseconds(1),
            .sleep =
                [this](std::chrono::nanoseconds) {
                    if (sleeps < script.size()) {
                        script[sleeps]();
                    } else {
                        stop.set();
                    }
                    ++sleeps;
                },
            .run_action =
                [this](std::string_view action) {
                    return exchange::run_tunnel_action(
                        action, exchange::RunnerContext{helper_dir / "tarsel-helper.exe", data});
                },
        };
    }

    void run() { exchange::command_loop(stop, settings()); }

    void command(std::string_view text) { write_file(data / "command.json", text); }
    std::function<void()> write_command(std::string text) {
        return [this, text] { command(text); };
    }
    [[nodiscard]] std::size_t runs() const { return standin_runs(helper_dir).size(); }
    [[nodiscard]] std::string result() const { return read_file(data / "result.json"); }
};

TEST_F(CommandLoop, FirstPassActsAtOnceAndOnlyOncePerNonce) {
    fs::create_directories(data);
    command(R"({"action":"up","nonce":5})");
    std::size_t sleeps_before_action = 99;
    script.push_back([&] {
        sleeps_before_action = sleeps;
        // Removing the result shows whether any later pass writes it again.
        fs::remove(data / "result.json");
    });
    for (int i = 0; i < 99; ++i)
        script.push_back([] {});
    run();
    EXPECT_EQ(sleeps, 101u);
    EXPECT_EQ(sleeps_before_action, 0u);
    EXPECT_EQ(runs(), 1u);
    EXPECT_FALSE(fs::exists(data / "result.json"));
}

TEST_F(CommandLoop, OnlyEqualityWithTheLastNonceSuppressesAnAction) {
    struct Row {
        const char* desc;
        std::vector<std::string> commands;  // one per pass
        std::size_t expected_runs;
        std::string last_result;
    };
    const Row rows[] = {
        {"5, 6, 5 act three times",
         {R"({"action":"up","nonce":5})", R"({"action":"up","nonce":6})",
          R"({"action":"up","nonce":5})"},
         3,
         R"({"nonce":5,"ok":true})"},
        {"4 after 9 acts", {R"(["down",9])", R"(["down",4])"}, 2, R"({"nonce":4,"ok":true})"},
        {"an invalid document keeps the last nonce",
         {R"({"action":"up","nonce":5})", R"({"action":"up","nonce":)",
          R"({"action":"up","nonce":-1})", R"({"action":"up","nonce":5})"},
         1,
         R"({"nonce":5,"ok":true})"},
        {"a deleted then rewritten command: same nonce ignored, new nonce acted",
         {R"({"action":"up","nonce":7})", "", R"({"action":"up","nonce":7})",
          R"({"action":"down","nonce":8})"},
         2,
         R"({"nonce":8,"ok":true})"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.desc);
        TempDir fresh;
        data = fresh.path() / "data";
        fs::create_directories(data);
        fs::remove(helper_dir / "wireguard-standin.log");
        script.clear();
        sleeps = 0;
        stop = exchange::StopFlag::create();
        for (const std::string& text : row.commands) {
            script.push_back(
                text.empty() ? std::function<void()>([this] { fs::remove(data / "command.json"); })
                             : write_command(text));
        }
        script.push_back([] {});
        // The first pass finds no command; each scripted step writes the next.
        run();
        EXPECT_EQ(runs(), row.expected_runs);
        EXPECT_EQ(result(), row.last_result);
    }
}

TEST_F(CommandLoop, NonceZeroIsNeverAnswered) {
    fs::create_directories(data);
    command(R"({"action":"up","nonce":0})");
    script.assign(5, [] {});
    run();
    EXPECT_EQ(runs(), 0u);
    EXPECT_FALSE(fs::exists(data / "result.json"));
}

TEST_F(CommandLoop, FailedActionsAreAnsweredWithTheirText) {
    fs::create_directories(data);
    command(R"({"action":"reboot\t1","nonce":18446744073709551615})");
    std::string unknown;
    script.push_back([&] {
        unknown = result();
        fs::remove(helper_dir / "wireguard.exe");
        command(R"({"action":"up","nonce":7})");
    });
    script.push_back([] {});
    run();
    EXPECT_EQ(unknown,
              R"({"nonce":18446744073709551615,"ok":false,"error":"unknown action: reboot\t1"})");
    EXPECT_EQ(result(),
              R"({"nonce":7,"ok":false,"error":"wireguard.exe not found next to helper"})");
}

TEST_F(CommandLoop, UnwritableResultStillCountsTheNonceAsHandled) {
    fs::create_directories(data / "result.json");
    command(R"({"action":"up","nonce":3})");
    script.assign(10, [] {});
    run();
    EXPECT_EQ(runs(), 1u);
    EXPECT_TRUE(fs::is_directory(data / "result.json"));
}

TEST_F(CommandLoop, StopSetBeforeStartCreatesTheDirectoryAndReadsNothing) {
    // A command already waiting in the parent proves that nothing is read:
    // the loop would act on it at once otherwise.
    fs::create_directories(data.parent_path());
    stop.set();
    bool slept = false;
    auto s = settings();
    s.sleep = [&](std::chrono::nanoseconds) { slept = true; };
    exchange::command_loop(stop, s);
    EXPECT_TRUE(fs::is_directory(data));
    EXPECT_FALSE(slept);
    EXPECT_EQ(runs(), 0u);
}

TEST_F(CommandLoop, ReleasesItsReferenceWhenItReturns) {
    script.assign(2, [] {});
    exchange::StopFlag loop_reference = stop;
    exchange::command_loop(std::move(loop_reference), settings());
    EXPECT_TRUE(stop.is_set());
    EXPECT_EQ(stop.holders(), 1);
}

TEST_F(CommandLoop, StopWhileWireguardRunsStillWritesTheResult) {
    StandinBehaviour slow;
    slow.sleep_ms = 700;
    set_standin_behaviour(helper_dir, slow);
    fs::create_directories(data);
    command(R"({"action":"down","nonce":11})");
    auto s = settings();
    s.poll_interval = std::chrono::milliseconds(300);
    s.sleep = [](std::chrono::nanoseconds interval) { std::this_thread::sleep_for(interval); };
    std::thread loop([&, loop_reference = stop]() mutable {
        exchange::command_loop(std::move(loop_reference), s);
    });
    // The stand-in logs its start before it sleeps; stop it in mid-run.
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (runs() == 0 && std::chrono::steady_clock::now() < give_up) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_EQ(runs(), 1u);
    stop.set();
    loop.join();
    EXPECT_EQ(result(), R"({"nonce":11,"ok":true})");
}

}  // namespace
