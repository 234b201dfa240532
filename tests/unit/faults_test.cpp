// Faults around the running loop: a client that rewrites command.json in place
// while the loop reads it, data_dir deleted under the loop, wireguard.exe
// taken away and put back, and a wireguard.exe that floods its standard error.
// In each the loop must neither crash nor stop serving.
#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "exchange/documents.h"
#include "faults_fixture.h"
#include "support/standin_protocol.h"

namespace {

using namespace tarsel;
using namespace tarsel::testing;

using Faults = LoopOnThread;

// Opens with truncation and writes a few bytes at a time, flushing each piece,
// so that the loop can find the file empty or holding any prefix of the text.
// False when the file could not be opened (Windows: the loop holds it).
bool rewrite_in_place(const fs::path& path, std::string_view text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out)
        return false;
    for (std::size_t at = 0; at < text.size(); at += 3) {
        const std::string_view piece = text.substr(at, 3);
        out.write(piece.data(), static_cast<std::streamsize>(piece.size()));
        out.flush();
    }
    return true;
}

TEST_F(Faults, CommandRewrittenInPlaceThousandsOfTimes) {
    constexpr int kRewrites = 3000;
    // On the loop's thread after each pass: every result the loop writes,
    // in order. One action per pass, so no result is missed.
    std::vector<std::string> results;
    std::string last_seen;
    after_pass = [&] {
        std::string now = result();
        if (!now.empty() && now != last_seen) {
            results.push_back(now);
            last_seen = std::move(now);
        }
    };
    start();

    std::set<std::uint64_t> written;
    std::uint64_t last_nonce = 0;
    std::size_t refused = 0;
    for (int i = 1; i <= kRewrites; ++i) {
        // Nonces of 3 to 6 digits, so the file grows and shrinks.
        const std::uint64_t nonce = 10 + static_cast<std::uint64_t>(i) * 331 % 9999991;
        const std::string text =
            i % 2 == 0 ? R"({"action":"up","nonce":)" + std::to_string(nonce) + "}"
                       : R"({"nonce":)" + std::to_string(nonce) + R"(,"action":"down"})";
        int attempts = 0;
        while (!rewrite_in_place(data / "command.json", text)) {
            ASSERT_LT(++attempts, 10000) << "command.json stayed locked";
            ++refused;
            std::this_thread::yield();
        }
        written.insert(nonce);
        last_nonce = nonce;
    }
    const std::string last_result = R"({"nonce":)" + std::to_string(last_nonce) + R"(,"ok":true})";
    EXPECT_TRUE(wait_for_result(last_result)) << "the last command was not answered";
    stop_loop();
    // The helper opens command.json sharing read, write and delete, so a
    // client is never locked out of it.
    EXPECT_EQ(refused, 0u) << "opens of command.json refused while the loop read it";

    ASSERT_FALSE(results.empty());
    for (const std::string& text : results) {
        SCOPED_TRACE(text);
        const auto result = exchange::parse_result(text);
        ASSERT_TRUE(result.has_value()) << "not a result the helper writes";
        EXPECT_TRUE(result->ok);
        EXPECT_TRUE(written.contains(result->nonce)) << "a nonce that was never written";
    }
    RecordProperty("answered", static_cast<int>(results.size()));
    EXPECT_EQ(results.back(), last_result);
    // Every action left exactly one result and no result came without one.
    EXPECT_EQ(ran().size(), results.size());
}

TEST_F(Faults, DataDirDeletedUnderTheLoopIsNotMadeAgain) {
    // wireguard.exe is still running when the directory goes, so the write
    // of its result is the one that fails.
    StandinBehaviour slow;
    slow.sleep_ms = 300;
    set_standin_behaviour(helper_dir, slow);
    command(R"({"action":"up","nonce":4})");
    start();
    ASSERT_TRUE(wait_until([&] { return ran().size() == 1; }));
    std::error_code ec;
    ASSERT_TRUE(retried([&] { fs::remove_all(data); })) << "data_dir could not be deleted";
    ASSERT_TRUE(let_passes_go_by(50));
    EXPECT_FALSE(fs::exists(data, ec));
    EXPECT_EQ(ran(), std::vector<Arguments>{up()});
    // Still running: it returns as soon as it is asked to.
    stop_loop();
}

TEST_F(Faults, WireguardRemovedThenRestoredBetweenCommands) {
    start();
    struct Round {
        const char* desc;
        bool present;
        std::string command;
        std::string expected;
    };
    const Round rounds[] = {
        {"removed", false, R"({"action":"up","nonce":1})",
         R"({"nonce":1,"ok":false,"error":"wireguard.exe not found next to helper"})"},
        {"restored", true, R"({"action":"down","nonce":2})", R"({"nonce":2,"ok":true})"},
        {"removed again", false, R"({"action":"up","nonce":3})",
         R"({"nonce":3,"ok":false,"error":"wireguard.exe not found next to helper"})"},
        {"restored again", true, R"({"action":"up","nonce":4})", R"({"nonce":4,"ok":true})"},
    };
    for (const Round& step : rounds) {
        SCOPED_TRACE(step.desc);
        if (step.present) {
            install_standin(helper_dir);
        } else {
            // Under Windows the image of a process that just ended may stay
            // locked for a moment.
            ASSERT_TRUE(retried([&] {
                if (!fs::remove(helper_dir / "wireguard.exe"))
                    throw std::runtime_error("nothing removed");
            }));
        }
        command(step.command);
        EXPECT_TRUE(wait_for_result(step.expected)) << result();
    }
    EXPECT_EQ(ran(), (std::vector<Arguments>{down(), up()}));
}

TEST_F(Faults, FloodedStandardErrorBecomesTheWholeErrorText) {
    constexpr std::uint64_t kFlood = 64u << 20;
    StandinBehaviour flood;
    flood.exit_code = 1;
    flood.flood_bytes = kFlood;
    set_standin_behaviour(helper_dir, flood);
    std::string standard_error(kFlood, '\0');
    for (std::uint64_t i = 0; i < kFlood; ++i)
        standard_error[i] = standin::flood_byte('e', i);
    // The pattern holds no white space, so trimming keeps all of it.
    const std::string expected =
        exchange::encode_result(exchange::HelperResult::failure(9, standard_error));
    standard_error = {};

    command(R"({"action":"up","nonce":9})");
    start();
    // Reading 64 MiB on every poll would only slow the loop; the size tells
    // when the write is complete.
    const fs::path path = data / "result.json";
    ASSERT_TRUE(wait_until(
        [&] {
            std::error_code ec;
            return fs::file_size(path, ec) == expected.size();
        },
        std::chrono::seconds(240)));
    const std::string written = result();
    EXPECT_EQ(written.size(), expected.size());
    EXPECT_TRUE(written == expected) << "the error text is not the whole standard error";

    set_standin_behaviour(helper_dir, {});
    command(R"({"action":"down","nonce":10})");
    EXPECT_TRUE(wait_for_result(R"({"nonce":10,"ok":true})"));
    EXPECT_EQ(ran(), (std::vector<Arguments>{up(), down()}));
}

}  // namespace
