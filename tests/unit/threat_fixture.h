#pragma once

// The real command loop over a real data_dir, with the stand-in wireguard.exe,
// for tests in which a hostile local user has prepared data_dir. Each pass of
// the loop ends in its sleep, where the next step of the script runs; once the
// script is done the stop flag is set.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "support/loop_harness.h"

namespace tarsel::testing {

class ThreatModel : public ::testing::Test, protected LoopHarness {
  protected:
    // What a user points links at. The helper must never change anything here.
    fs::path outside = temp.path() / "outside";
    std::vector<Step> script;

    void SetUp() override {
        fs::create_directories(data);
        fs::create_directories(outside);
    }

    // Runs one life of the loop through the script. False when the loop did
    // not return in time; `release_if_stuck` then frees it so the test ends.
    bool run_loop(const Step& release_if_stuck = {}) {
        stop = exchange::StopFlag::create();
        return run_script(script, release_if_stuck);
    }

    // `count` runs of "up", which is all an attack here ever asks for.
    [[nodiscard]] std::vector<Arguments> ups(std::size_t count) const {
        return std::vector<Arguments>(count, up());
    }

    // One staged attack on data_dir. It is in place for the first pass, which
    // finds the command nonce 1 if the attack left one readable; then the
    // attack is cleared away and an honest client asks for nonce 2.
    struct Attack {
        const char* desc;
        Step plant;
        std::size_t runs_under_attack;  // 1 when only result.json is attacked
        Step release_if_stuck = {};
        Step check_after = {};
    };

    void check_attacks(const std::vector<Attack>& attacks) {
        for (const Attack& attack : attacks) {
            SCOPED_TRACE(attack.desc);
            reset();
            fs::remove_all(outside);
            fs::create_directories(outside);
            attack.plant();
            const auto before = outside_snapshot();
            std::vector<Arguments> attacked_runs;
            std::map<std::string, std::string> attacked;
            script = {
                [&] {
                    attacked_runs = ran();
                    attacked = outside_snapshot();
                    fs::remove_all(data / "command.json");
                    fs::remove_all(data / "result.json");
                    command(R"({"action":"up","nonce":2})");
                },
                [] {},
            };
            EXPECT_TRUE(run_loop(attack.release_if_stuck)) << "the loop blocked";
            EXPECT_EQ(attacked_runs, ups(attack.runs_under_attack));
            EXPECT_EQ(attacked, before) << "something outside data_dir changed";
            EXPECT_EQ(ran(), ups(attack.runs_under_attack + 1));
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
