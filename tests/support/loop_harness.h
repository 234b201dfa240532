#pragma once

// The real command loop over a real data_dir, with the real runner and the
// stand-in wireguard.exe installed in helper_dir. A test drives it in one of
// two ways:
//  - run_script(steps): each pass of the loop ends in its sleep, where the next
//    step runs instead of any waiting; once the steps are done the stop flag is
//    set. The loop runs on a thread of its own, so a loop stuck in a system
//    call shows up as a failure, not as a hang.
//  - start(interval) ... stop_loop(): the loop on a thread of its own with a
//    real sleep, while the test plays the client from its own thread.
// Either way ran() returns the arguments of every run of wireguard.exe, in
// order, so a test compares what ran with up() and down().
#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "exchange/command_loop.h"
#include "support/temp_dir.h"

namespace tarsel::testing {

class LoopHarness {
  public:
    using Arguments = std::vector<std::string>;
    using Step = std::function<void()>;

    LoopHarness();
    LoopHarness(const LoopHarness&) = delete;
    LoopHarness& operator=(const LoopHarness&) = delete;
    ~LoopHarness();

    TempDir temp;
    fs::path helper_dir = temp.path() / "Program Files" / "TarselVPN";
    fs::path data = temp.path() / "ProgramData" / "TarselVPN";
    // The flag of the loop's current life; run_script and start use it as it
    // is, so a test may set it beforehand.
    exchange::StopFlag stop = exchange::StopFlag::create();
    // Runs on the loop's thread once wireguard.exe has answered and before the
    // result is written: the moment a client that sent a command waits for.
    Step after_action;
    // Runs on the loop's thread at the end of every pass (both ways of driving).
    Step after_pass;

    // One life of the loop through `steps`. False when the loop did not return
    // within `limit`; `release_if_stuck` then frees it so that the test ends.
    bool run_script(std::vector<Step> steps, const Step& release_if_stuck = {},
                    std::chrono::seconds limit = std::chrono::seconds(30));
    // How many times the loop slept in the last run_script: one per pass.
    [[nodiscard]] std::size_t sleeps() const { return sleeps_; }

    void start(std::chrono::milliseconds poll_interval = std::chrono::milliseconds(2));
    // Sets the flag and waits for the loop to return.
    void stop_loop();
    // How many passes of the started loop have ended.
    [[nodiscard]] std::size_t passes() const { return passes_; }

    // For the next row of a table: an empty data_dir (made again when `make`),
    // no recorded runs, the stand-in's default behaviour, a fresh stop flag.
    void reset(bool make = true);

    // Writes command.json whole. A write the system refuses (Windows: another
    // open of the file without write sharing) is retried for up to a second
    // and counted in command_retries().
    void command(std::string_view text);
    [[nodiscard]] std::size_t command_retries() const { return command_retries_; }
    // The bytes of result.json, or empty when it is missing or cannot be read.
    [[nodiscard]] std::string result() const;

    [[nodiscard]] std::vector<Arguments> ran() const;
    // What the helper passes for "up" (with this data_dir) and for "down".
    [[nodiscard]] Arguments up() const;
    [[nodiscard]] static Arguments down();

    // Polls `done` until it holds or the time is up (generous: under Wine on a
    // loaded machine one run of the stand-in can take a second).
    static bool wait_until(const std::function<bool()>& done,
                           std::chrono::seconds limit = std::chrono::seconds(120));
    // Lets `count` more passes of the started loop go by.
    bool let_passes_go_by(std::size_t count);
    bool wait_for_result(std::string_view expected);
    // Repeats `step` while it throws, for up to about a second: on Windows the
    // loop or the stand-in may hold a file for a moment without the sharing
    // the step's open asks for. False when it never succeeded.
    static bool retried(const std::function<void()>& step, std::size_t* retries = nullptr);

  private:
    exchange::LoopSettings settings(std::chrono::nanoseconds poll_interval,
                                    std::function<void(std::chrono::nanoseconds)> sleep);

    std::size_t sleeps_ = 0;
    std::atomic<std::size_t> passes_{0};
    std::atomic<std::size_t> command_retries_{0};
    std::thread loop_;
};

}  // namespace tarsel::testing
