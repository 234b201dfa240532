// The real command loop waking on a change to command.json and on the stop,
// through the real change wait on a real directory. The poll interval is long
// here, so it is only a bound: a wait that had to run out before a command
// was answered shows up as a time-out, and that is the failure.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "exchange/command_loop.h"
#include "support/temp_dir.h"

namespace {

using namespace std::chrono_literals;
using namespace tarsel;
using namespace tarsel::testing;
using platform::WakeSignal;
using platform::WatchWake;

constexpr auto kNeverThisLong = 20s;

std::string answer(std::uint64_t nonce) {
    return R"({"nonce":)" + std::to_string(nonce) + R"(,"ok":true})";
}

std::string up(std::uint64_t nonce) {
    return R"({"action":"up","nonce":)" + std::to_string(nonce) + "}";
}

// The loop with the product's change wait, wrapped so that the test sees each
// wait: before it starts, the next scripted step runs once the result it
// waits for is there; the stop is set when the script is done.
class LoopWake : public ::testing::Test {
  protected:
    struct Step {
        std::string after_result;  // empty: at the first wait
        std::function<void()> act;
    };

    TempDir temp;
    fs::path data = temp.path() / "TarselVPN";
    exchange::StopFlag stop = exchange::StopFlag::create();
    std::vector<Step> script;
    std::size_t next_step = 0;
    std::vector<WatchWake> wakes;
    std::vector<std::string> actions;
    std::function<void()> during_action;

    void SetUp() override { fs::create_directories(data); }

    [[nodiscard]] std::string result() const {
        return fs::exists(data / "result.json") ? read_file(data / "result.json") : "";
    }

    exchange::LoopSettings settings() {
        return exchange::LoopSettings{
            .data_dir = data,
            .poll_interval = kNeverThisLong,
            .sleep = [](std::chrono::nanoseconds interval) { std::this_thread::sleep_for(interval); },
            .run_action =
                [this](std::string_view action) {
                    actions.emplace_back(action);
                    if (during_action) {
                        std::exchange(during_action, nullptr)();
                    }
                    return exchange::ActionOutcome{};
                },
            .watch_changes = [this](const platform::Path& directory) -> exchange::ChangeWait {
                exchange::ChangeWait real = exchange::watch_command_file(directory);
                if (!real) {
                    return {};
                }
                return [this, real = std::move(real)](std::chrono::nanoseconds timeout,
                                                      const WakeSignal& wake) mutable {
                    if (next_step < script.size() &&
                        (script[next_step].after_result.empty() ||
                         script[next_step].after_result == result())) {
                        script[next_step++].act();
                    } else if (next_step == script.size()) {
                        stop.set();
                    }
                    wakes.push_back(real(timeout, wake));
                    return wakes.back();
                };
            },
        };
    }
};

TEST_F(LoopWake, CommandsAreAnsweredWithoutWaitingForThePoll) {
    script = {
        {"", [&] { write_file(data / "command.json", up(1)); }},
        {answer(1),
         [&] {
             // Renamed into place, as a careful client writes it.
             write_file(data / "command.json.tmp", up(2));
             fs::rename(data / "command.json.tmp", data / "command.json");
         }},
        // A command that arrives during a pass leads to another pass.
        {answer(2),
         [&] {
             during_action = [&] { write_file(data / "command.json", up(4)); };
             write_file(data / "command.json", up(3));
         }},
    };
    script.push_back({answer(4), [] {}});
    const auto started = std::chrono::steady_clock::now();
    exchange::command_loop(stop, settings());
    EXPECT_LT(std::chrono::steady_clock::now() - started, kNeverThisLong);
    EXPECT_EQ(next_step, script.size());
    EXPECT_EQ(actions.size(), 4u);
    EXPECT_EQ(result(), answer(4));
    ASSERT_FALSE(wakes.empty());
    EXPECT_EQ(wakes.back(), WatchWake::signalled) << "the stop ends the last wait";
    for (WatchWake wake : wakes) {
        EXPECT_NE(wake, WatchWake::timed_out);
    }
}

// Every way the wake can fail leaves the poll: the command written during the
// first interval is answered by the pass that follows it. The sleep and the
// fake waits return at once, so each stands for one whole interval.
TEST_F(LoopWake, WithoutANotificationThePollStillAnswers) {
    struct Row {
        const char* desc;
        std::function<exchange::ChangeWait()> watch;  // null: no watch function at all
        int expected_opens;                            // over the three passes
    };
    const auto always = [](WatchWake wake) {
        return [wake] {
            return exchange::ChangeWait(
                [wake](std::chrono::nanoseconds, const WakeSignal&) { return wake; });
        };
    };
    const Row rows[] = {
        {"no change wait", nullptr, 0},
        {"the watch cannot be set up", [] { return exchange::ChangeWait(); }, 3},
        {"the notification never comes", always(WatchWake::timed_out), 1},
        {"the watch breaks at once", always(WatchWake::broken), 3},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.desc);
        stop = exchange::StopFlag::create();
        fs::remove(data / "result.json");
        fs::remove(data / "command.json");
        actions.clear();
        int opens = 0;
        int intervals = 0;
        std::vector<std::chrono::nanoseconds> slept;
        // The command appears during the first interval, the stop during the third.
        auto interval_passes = [&] {
            if (++intervals == 1) {
                write_file(data / "command.json", up(9));
            } else if (intervals == 3) {
                stop.set();
            }
        };
        auto s = settings();
        s.sleep = [&](std::chrono::nanoseconds interval) {
            slept.push_back(interval);
            interval_passes();
        };
        s.watch_changes = nullptr;
        if (row.watch) {
            s.watch_changes = [&](const platform::Path&) -> exchange::ChangeWait {
                ++opens;
                exchange::ChangeWait inner = row.watch();
                if (!inner) {
                    return {};
                }
                return [&, inner = std::move(inner)](std::chrono::nanoseconds timeout,
                                                     const WakeSignal& wake) mutable {
                    const WatchWake wake_kind = inner(timeout, wake);
                    // A broken watch sleeps out the interval instead.
                    if (wake_kind != WatchWake::broken) {
                        interval_passes();
                    }
                    return wake_kind;
                };
            };
        }
        exchange::command_loop(stop, s);
        EXPECT_EQ(actions, std::vector<std::string>{"up"});
        EXPECT_EQ(result(), answer(9));
        EXPECT_EQ(intervals, 3);
        EXPECT_EQ(opens, row.expected_opens);
        for (auto interval : slept) {
            EXPECT_LE(interval, s.poll_interval);
            EXPECT_GT(interval, s.poll_interval / 2) << "only the interval is slept, no gap";
        }
    }
}

// The system's arrangement: the stop comes from another thread while the
// loop waits, and a writer rewrites another file in data_dir as fast as it
// can. Run under ThreadSanitizer.
TEST_F(LoopWake, StormKeepsAnsweringAndTheStopEndsTheWait) {
    std::atomic<bool> storming{true};
    std::atomic<int> waits{0};
    auto s = settings();
    s.run_action = [](std::string_view) { return exchange::ActionOutcome{}; };
    s.watch_changes = [&](const platform::Path& directory) -> exchange::ChangeWait {
        return [&, real = exchange::watch_command_file(directory)](
                   std::chrono::nanoseconds timeout, const WakeSignal& wake) mutable {
            waits.fetch_add(1, std::memory_order_relaxed);
            return real(timeout, wake);
        };
    };
    std::thread storm([&] {
        for (int i = 0; storming.load(std::memory_order_relaxed); ++i) {
            write_file(data / "storm.tmp", std::to_string(i));
            fs::rename(data / "storm.tmp", data / "storm.json");
        }
    });
    const auto started = std::chrono::steady_clock::now();
    std::thread loop([&, reference = stop]() mutable { exchange::command_loop(std::move(reference), s); });
    for (std::uint64_t nonce = 1; nonce <= 5; ++nonce) {
        write_file(data / "command.json", up(nonce));
        const auto give_up = std::chrono::steady_clock::now() + kNeverThisLong;
        while (result() != answer(nonce) && std::chrono::steady_clock::now() < give_up) {
            std::this_thread::sleep_for(1ms);
        }
        EXPECT_EQ(result(), answer(nonce));
    }
    storming.store(false, std::memory_order_relaxed);
    storm.join();
    stop.set();
    loop.join();
    const auto elapsed = std::chrono::steady_clock::now() - started;
    EXPECT_LT(elapsed, kNeverThisLong);
    // The minimum gap holds the wakes down, whatever the writer does: a wait
    // follows each of the six passes and otherwise one per gap at most.
    EXPECT_LE(waits.load(), 6 + elapsed / exchange::kMinimumGap + 1);
}

}  // namespace
