// The real command loop against a real directory and the stand-in
// wireguard.exe. Between passes the loop calls its sleep, which the harness
// uses as the clock: step k of a script runs in place of the k-th sleep, and
// the flag is set once the script is done. No test depends on timing except
// the one that stops the loop while wireguard.exe is still running.
#include "exchange/command_loop.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/loop_harness.h"

namespace {

using namespace tarsel;
using namespace tarsel::testing;

class CommandLoop : public ::testing::Test, protected LoopHarness {
  protected:
    // What ran, spelled as the actions that should have caused it.
    [[nodiscard]] std::vector<Arguments> expected(const std::vector<std::string>& actions) const {
        std::vector<Arguments> lines;
        for (const std::string& action : actions)
            lines.push_back(action == "up" ? up() : down());
        return lines;
    }
};

TEST_F(CommandLoop, FirstPassActsAtOnceAndOnlyOncePerNonce) {
    fs::create_directories(data);
    command(R"({"action":"up","nonce":5})");
    std::vector<Step> steps(100, [] {});
    std::size_t runs_at_first_sleep = 0;
    steps[0] = [&] {
        runs_at_first_sleep = ran().size();
        // Removing the result shows whether any later pass writes it again.
        fs::remove(data / "result.json");
    };
    ASSERT_TRUE(run_script(steps));
    EXPECT_EQ(sleeps(), 101u);
    EXPECT_EQ(runs_at_first_sleep, 1u) << "the first pass slept before it acted";
    EXPECT_EQ(ran(), expected({"up"}));
    EXPECT_FALSE(fs::exists(data / "result.json"));
}

TEST_F(CommandLoop, OnlyEqualityWithTheLastNonceSuppressesAnAction) {
    struct Row {
        const char* desc;
        std::vector<std::string> commands;  // one per pass; empty: command.json deleted
        std::vector<std::string> ran;       // the actions wireguard.exe was run for
        std::string last_result;
    };
    const Row rows[] = {
        {"5, 6, 5 act three times",
         {R"({"action":"up","nonce":5})", R"({"action":"down","nonce":6})",
          R"({"action":"up","nonce":5})"},
         {"up", "down", "up"},
         R"({"nonce":5,"ok":true})"},
        {"4 after 9 acts", {R"(["down",9])", R"(["up",4])"}, {"down", "up"}, R"({"nonce":4,"ok":true})"},
        {"an invalid document keeps the last nonce",
         {R"({"action":"up","nonce":5})", R"({"action":"up","nonce":)",
          R"({"action":"up","nonce":-1})", R"({"action":"up","nonce":5})"},
         {"up"},
         R"({"nonce":5,"ok":true})"},
        {"a deleted then rewritten command: same nonce ignored, new nonce acted",
         {R"({"action":"up","nonce":7})", "", R"({"action":"up","nonce":7})",
          R"({"action":"down","nonce":8})"},
         {"up", "down"},
         R"({"nonce":8,"ok":true})"},
        // How a client parks the file once it has its answer: nonce 0 differs
        // from the last nonce, and still nothing runs.
        {"0 after 5 was answered runs nothing",
         {R"({"action":"up","nonce":5})", R"({"action":"down","nonce":0})"},
         {"up"},
         R"({"nonce":5,"ok":true})"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.desc);
        reset();
        std::vector<Step> steps;
        for (const std::string& text : row.commands) {
            steps.push_back(text.empty() ? Step([this] { fs::remove(data / "command.json"); })
                                         : Step([this, text] { command(text); }));
        }
        steps.push_back([] {});
        // The first pass finds no command; each scripted step writes the next.
        ASSERT_TRUE(run_script(steps));
        EXPECT_EQ(ran(), expected(row.ran));
        EXPECT_EQ(result(), row.last_result);
    }
}

TEST_F(CommandLoop, NonceZeroIsNeverAnswered) {
    fs::create_directories(data);
    command(R"({"action":"up","nonce":0})");
    ASSERT_TRUE(run_script(std::vector<Step>(5, [] {})));
    EXPECT_EQ(ran(), expected({}));
    EXPECT_FALSE(fs::exists(data / "result.json"));
}

// Each life of the loop starts knowing no nonce, whatever result.json holds:
// after a stop or a crash the command still present is carried out once more.
TEST_F(CommandLoop, ASecondLifeOverTheSameDirectoryActsAgain) {
    fs::create_directories(data);
    command(R"({"action":"down","nonce":7})");
    ASSERT_TRUE(run_script({[] {}}));
    ASSERT_EQ(result(), R"({"nonce":7,"ok":true})");

    stop = exchange::StopFlag::create();
    ASSERT_TRUE(run_script({[] {}, [] {}}));
    EXPECT_EQ(ran(), expected({"down", "down"}));
    EXPECT_EQ(result(), R"({"nonce":7,"ok":true})");
}

TEST_F(CommandLoop, FailedActionsAreAnsweredWithTheirText) {
    fs::create_directories(data);
    command(R"({"action":"reboot\t1","nonce":18446744073709551615})");
    std::string unknown;
    ASSERT_TRUE(run_script({[&] {
                                unknown = result();
                                fs::remove(helper_dir / "wireguard.exe");
                                command(R"({"action":"up","nonce":7})");
                            },
                            [] {}}));
    EXPECT_EQ(unknown,
              R"({"nonce":18446744073709551615,"ok":false,"error":"unknown action: reboot\t1"})");
    EXPECT_EQ(result(),
              R"({"nonce":7,"ok":false,"error":"wireguard.exe not found next to helper"})");
    EXPECT_EQ(ran(), expected({}));
}

TEST_F(CommandLoop, UnwritableResultStillCountsTheNonceAsHandled) {
    fs::create_directories(data / "result.json");
    command(R"({"action":"up","nonce":3})");
    ASSERT_TRUE(run_script(std::vector<Step>(10, [] {})));
    EXPECT_EQ(ran(), expected({"up"}));
    EXPECT_TRUE(fs::is_directory(data / "result.json"));
}

TEST_F(CommandLoop, StopSetBeforeStartCreatesTheDirectoryAndReadsNothing) {
    // A command already waiting proves that nothing is read: the loop would
    // act on it at once otherwise.
    fs::create_directories(data);
    command(R"({"action":"up","nonce":1})");
    stop.set();
    ASSERT_TRUE(run_script({}));
    EXPECT_TRUE(fs::is_directory(data));
    EXPECT_EQ(sleeps(), 0u);
    EXPECT_EQ(ran(), expected({}));
    EXPECT_FALSE(fs::exists(data / "result.json"));

    // With no directory at all the loop makes it before it looks at the flag.
    reset(false);
    stop.set();
    ASSERT_TRUE(run_script({}));
    EXPECT_TRUE(fs::is_directory(data));
    EXPECT_EQ(sleeps(), 0u);
}

TEST_F(CommandLoop, ReleasesItsReferenceWhenItReturns) {
    ASSERT_TRUE(run_script({[] {}, [] {}}));
    EXPECT_TRUE(stop.is_set());
    EXPECT_EQ(stop.holders(), 1);
}

TEST_F(CommandLoop, StopWhileWireguardRunsStillWritesTheResult) {
    StandinBehaviour slow;
    slow.sleep_ms = 700;
    set_standin_behaviour(helper_dir, slow);
    fs::create_directories(data);
    command(R"({"action":"down","nonce":11})");
    start(std::chrono::milliseconds(300));
    // The stand-in logs its start before it sleeps; stop it in mid-run.
    ASSERT_TRUE(wait_until([&] { return !ran().empty(); }, std::chrono::seconds(60)));
    stop_loop();
    EXPECT_EQ(result(), R"({"nonce":11,"ok":true})");
    EXPECT_EQ(ran(), expected({"down"}));
}

}  // namespace
