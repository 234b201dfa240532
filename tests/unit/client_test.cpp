// tarselctl's logic against a real data directory. The clock is fake: each
// sleep of the client advances it and runs the next step of a script in
// place of the helper, so a test decides exactly what result.json holds at
// each poll, and a two-minute time-out costs nothing.
#include "client/client.h"

#include <gtest/gtest.h>

#include <deque>
#include <functional>
#include <optional>
#include <set>
#include <thread>
#include <vector>

#include "client/arguments.h"
#include "client/request.h"
#include "client/send.h"
#include "exchange/documents.h"
#include "platform/environment.h"
#include "support/temp_dir.h"

namespace {

using namespace tarsel;
using namespace tarsel::testing;
using client::Clock;

class Client : public ::testing::Test {
  protected:
    TempDir temp;
    fs::path data = temp.path() / "TarselVPN";
    Clock::time_point now{};
    std::vector<std::function<void()>> script;
    std::size_t sleeps = 0;
    client::ResultWatch watch;  // none: the plain sleep
    std::deque<std::uint64_t> randoms;  // then 1000, 1001, ...
    std::uint64_t next_random = 1000;
    bool terminal = false;
    platform::ServiceQuery service{platform::ServiceQuery::Outcome::state, 4};
    std::string out;
    std::string err;

    void SetUp() override { fs::create_directories(data); }

    int run(std::vector<std::string> words) {
        words.insert(words.begin(), "tarselctl");
        client::ClientSeams seams{
            .default_data_dir = [this] { return data; },
            .random =
                [this] {
                    if (randoms.empty()) {
                        return next_random++;
                    }
                    const std::uint64_t value = randoms.front();
                    randoms.pop_front();
                    return value;
                },
            .now = [this] { return now; },
            .sleep =
                [this](Clock::duration duration) {
                    now += duration;
                    if (sleeps < script.size()) {
                        script[sleeps]();
                    }
                    ++sleeps;
                },
            .watch_result = watch,
            .standard_error_is_terminal = [this] { return terminal; },
            .query_service = [this] { return service; },
            .write_output = [this](std::string_view text) { out += text; },
            .write_error = [this](std::string_view text) { err += text; },
        };
        return client::run_client(words, seams);
    }

    // The command the client wrote, as the helper reads it.
    [[nodiscard]] exchange::HelperCommand sent() const {
        const auto command = exchange::read_command(data / "command.json");
        EXPECT_TRUE(command.has_value());
        return command.value_or(exchange::HelperCommand{});
    }
    void answer(bool ok, std::string error = {}) {
        const auto nonce = sent().nonce;
        exchange::write_result(data / "result.json",
                               ok ? exchange::HelperResult::success(nonce)
                                  : exchange::HelperResult::failure(nonce, std::move(error)));
    }
    void result_bytes(std::string_view bytes) { write_file(data / "result.json", bytes); }
    [[nodiscard]] std::set<std::string> files() const {
        std::set<std::string> names;
        for (const auto& entry : fs::directory_iterator(data)) {
            names.insert(entry.path().filename().string());
        }
        return names;
    }
};

TEST_F(Client, ExitCodesOfUpAndDown) {
    struct Row {
        const char* desc;
        const char* verb;
        std::function<void()> helper;  // the first poll's helper, if any
        int expected_exit;
        std::string expected_out;
        std::string expected_err;
    };
    const std::string no_answer =
        "tarselctl: no answer within 120 s; the TarselHelper service is probably not running. "
        "The command stays in " +
        platform::path_to_utf8(data / "command.json") +
        " and is carried out when the service starts, unless it is replaced first. "
        "\"tarselctl status\" shows the service's state.\n";
    const Row rows[] = {
        {"success", "up", [this] { answer(true); }, 0, "up: ok (nonce 77)\n", ""},
        {"failure carries the error text", "down",
         [this] { answer(false, "Tunnel \"tarsel\" not found\nexit 1"); }, 1, "",
         "tarselctl: down failed: Tunnel \"tarsel\" not found\nexit 1\n"},
        {"failure with an empty text", "up", [this] { answer(false); }, 1, "",
         "tarselctl: up failed: (no error text)\n"},
        {"no helper", "up", nullptr, 2, "", no_answer},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.desc);
        out.clear();
        err.clear();
        script.clear();
        sleeps = 0;
        randoms = {77};
        fs::remove(data / "command.json");
        fs::remove(data / "result.json");
        if (row.helper) {
            script.push_back(row.helper);
        }
        EXPECT_EQ(run({row.verb}), row.expected_exit);
        EXPECT_EQ(sent(), (exchange::HelperCommand{row.verb, 77}));
        EXPECT_EQ(out, row.expected_out);
        EXPECT_EQ(err, row.expected_err);
    }
}

TEST_F(Client, TimeoutIsHonouredAndNamesTheLikelyCause) {
    const Clock::time_point start = now;
    EXPECT_EQ(run({"--timeout", "3", "down"}), 2);
    EXPECT_EQ(now - start, std::chrono::seconds(3));
    // One poll every 100 ms, and a last look at the deadline itself.
    EXPECT_EQ(sleeps, 30u);
    EXPECT_EQ(err,
              "tarselctl: no answer within 3 s; the TarselHelper service is probably not running. "
              "The command stays in " +
                  platform::path_to_utf8(data / "command.json") +
                  " and is carried out when the service starts, unless it is replaced first. "
                  "\"tarselctl status\" shows the service's state.\n");
    EXPECT_EQ(out, "");
}

TEST_F(Client, WaitsThroughEmptyPartialAndEarlierResults) {
    write_file(data / "command.json", R"({"action":"up","nonce":5})");
    result_bytes(R"({"nonce":5,"ok":true})");
    randoms = {42};
    const std::string answer = R"({"nonce":42,"ok":false,"error":"no \"tarsel\" tunnel"})";
    // What the helper's truncate-then-write looks like between two polls.
    script = {
        [&] { result_bytes(""); },
        [&] { result_bytes(answer.substr(0, 20)); },
        [&] { result_bytes(answer.substr(0, answer.size() - 1)); },
        [&] { result_bytes(R"({"nonce":5,"ok":true})"); },
        [&] { result_bytes(answer); },
    };
    EXPECT_EQ(run({"up"}), 1);
    EXPECT_EQ(sleeps, 5u);
    EXPECT_EQ(err, "tarselctl: up failed: no \"tarsel\" tunnel\n");
}

// The change wait on result.json is set up before the command goes out, so
// an answer written at once is not missed, and serves in place of the sleep;
// where the system gives none, the plain sleep serves.
TEST_F(Client, AChangeWaitSetUpBeforeTheCommandServesInPlaceOfTheSleep) {
    std::optional<bool> command_there_at_setup;
    fs::path watched;
    std::size_t waits = 0;
    watch = [&](const platform::Path& dir) -> client::ResultWait {
        watched = dir;
        command_there_at_setup = fs::exists(data / "command.json");
        return [&](Clock::duration duration) {
            now += duration;
            if (++waits == 2) {
                answer(true);
            }
        };
    };
    randoms = {9};
    EXPECT_EQ(run({"up"}), 0);
    EXPECT_EQ(out, "up: ok (nonce 9)\n");
    EXPECT_EQ(watched, data);
    EXPECT_EQ(command_there_at_setup, std::optional<bool>(false));
    EXPECT_EQ(waits, 2u);
    EXPECT_EQ(sleeps, 0u);

    watch = [](const platform::Path&) -> client::ResultWait { return nullptr; };
    script = {[this] { answer(true); }};
    out.clear();
    EXPECT_EQ(run({"down"}), 0);
    EXPECT_EQ(sleeps, 1u);
}

// The system's wait ends for a write of result.json, and waits out writes to
// other files: a user writing other files as fast as they can must not make
// the client read result.json at their pace.
TEST(ResultWatch, EndsForResultJsonAndWaitsOutOtherFiles) {
    TempDir temp;
    const client::ResultWait wait = client::watch_result_file(temp.path());
    ASSERT_TRUE(wait) << "no change wait on a plain directory";
    std::thread writer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        write_file(temp.path() / "other.json", "x");
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        write_file(temp.path() / "result.json", R"({"nonce":1,"ok":true})");
    });
    const auto start = Clock::now();
    wait(std::chrono::seconds(30));
    const auto waited = Clock::now() - start;
    const bool result_there = fs::exists(temp.path() / "result.json");
    writer.join();
    EXPECT_TRUE(result_there) << "the write of another file ended the wait";
    EXPECT_LT(waited, std::chrono::seconds(30)) << "the write of result.json did not end the wait";
}

TEST_F(Client, NewNonceDiffersFromCommandAndResultAndIsNotZero) {
    write_file(data / "command.json", R"({"action":"down","nonce":5})");
    result_bytes(R"({"nonce":6,"ok":true})");
    randoms = {0, 5, 6, 0, 9};
    script = {[&] { answer(true); }};
    EXPECT_EQ(run({"up"}), 0);
    EXPECT_EQ(sent(), (exchange::HelperCommand{"up", 9}));
    EXPECT_TRUE(randoms.empty());
}

TEST_F(Client, CommandIsReplacedByRenameNotRewrittenInPlace) {
    write_file(data / "command.json", R"({"action":"down","nonce":5})");
    // A second name for the old file: an in-place rewrite would change what
    // it shows, a rename over command.json cannot.
    fs::create_hard_link(data / "command.json", data / "old.json");
    script = {[&] { answer(true); }};
    ASSERT_EQ(run({"up"}), 0);
    EXPECT_EQ(read_file(data / "old.json"), R"({"action":"down","nonce":5})");
    EXPECT_EQ(read_file(data / "command.json"), R"({"action":"up","nonce":1000})");
    EXPECT_EQ(files(), (std::set<std::string>{"command.json", "old.json", "result.json"}));
}

TEST_F(Client, UnwritableDataDirectoryFailsAtOnce) {
    fs::remove_all(data);
    EXPECT_EQ(run({"up"}), 1);
    EXPECT_EQ(sleeps, 0u);
    // Between the path and the note stands the system's own text for the error.
    const std::string head = "tarselctl: cannot write " +
                             platform::path_to_utf8(data / "command.json") + ": ";
    const std::string tail =
        " (the directory does not exist; the TarselHelper service creates it when it starts)\n";
    EXPECT_TRUE(err.starts_with(head) && err.ends_with(tail) &&
                err.size() > head.size() + tail.size())
        << err;
    EXPECT_FALSE(fs::exists(data));
}

TEST_F(Client, ProgressOnlyForAPersonAndOnlyAfterASecond) {
    struct Row {
        const char* desc;
        bool terminal;
        std::size_t answer_at_poll;
        std::string expected_err;
    };
    // One line, rewritten in place once a second after the first, and ended
    // once the answer is in.
    const std::string progress = "\rwaiting for the TarselHelper service to answer... 1 s of 120 s"
                                 "\rwaiting for the TarselHelper service to answer... 2 s of 120 s"
                                 "\n";
    const Row rows[] = {
        {"quick answer on a terminal", true, 5, ""},
        {"slow answer on a terminal", true, 25, progress},
        {"slow answer into a pipe", false, 25, ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.desc);
        out.clear();
        err.clear();
        sleeps = 0;
        terminal = row.terminal;
        script.assign(row.answer_at_poll, [] {});
        script.back() = [&] { answer(true); };
        EXPECT_EQ(run({"up"}), 0);
        EXPECT_EQ(err, row.expected_err);
    }
}

TEST_F(Client, CheckReadsFilesAsTheHelperDoes) {
    struct Row {
        const char* desc;
        std::string bytes;
        int expected_exit;
        std::string expected_out;
    };
    const Row rows[] = {
        {"object form", R"({"action":"up","nonce":1})", 0, "accepted: action=\"up\" nonce=1\n"},
        {"array form with the largest nonce",
         R"(["down",18446744073709551615])"
         "\r\n",
         0, "accepted: action=\"down\" nonce=18446744073709551615\n"},
        {"escapes come back as JSON", R"({"nonce":0,"action":"a\/\"\u001b\u00e9\n"})", 0,
         "accepted: action=\"a/\\\"\\u001b\xC3\xA9\\n\" nonce=0\n"},
        {"byte-order mark",
         "\xEF\xBB\xBF"
         R"({"action":"up","nonce":1})",
         1, "rejected: the document is neither an object nor an array (at byte 0)\n"},
        {"repeated member", R"({"action":"up","nonce":1,"nonce":1})", 1,
         "rejected: a member appears twice (at byte 33)\n"},
        {"trailing data", R"({"action":"up","nonce":1} x)", 1,
         "rejected: data after the end of the document (at byte 26)\n"},
        {"nonce with a leading zero", R"({"action":"up","nonce":01})", 1,
         "rejected: a number with a leading zero (at byte 24)\n"},
        {"lone surrogate in action", R"({"action":"\ud800","nonce":1})", 1,
         "rejected: a surrogate escape without its pair (at byte 17)\n"},
        {"missing member", R"({"action":"up"})", 1,
         "rejected: a member is missing (both action and nonce are needed) (at byte 14)\n"},
        {"half-written", R"({"action":"up","non)", 1,
         "rejected: a string is not closed (at byte 19)\n"},
        {"invalid UTF-8 in a skipped member", "{\"action\":\"up\",\"nonce\":1,\"x\":\"\xC0\xAF\"}",
         1, "rejected: not valid UTF-8\n"},
        {"empty", "", 1, "rejected: the document is neither an object nor an array (at byte 0)\n"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.desc);
        out.clear();
        write_file(temp.path() / "candidate.json", row.bytes);
        EXPECT_EQ(run({"check", (temp.path() / "candidate.json").string()}), row.expected_exit);
        EXPECT_EQ(out, row.expected_out);
    }
    out.clear();
    EXPECT_EQ(run({"check", (temp.path() / "missing.json").string()}), 1);
    EXPECT_EQ(out, "rejected: the file cannot be opened\n");
}

TEST_F(Client, StatusShowsDirectoryCommandResultAndService) {
    struct Row {
        const char* desc;
        std::optional<std::string> command;
        std::optional<std::string> result;
        platform::ServiceQuery service;
        std::string expected;  // after the data directory line
    };
    using Outcome = platform::ServiceQuery::Outcome;
    const Row rows[] = {
        {"nothing yet",
         {},
         {},
         {Outcome::not_installed, 0},
         "command: none (command.json does not exist)\n"
         "result: none (result.json does not exist)\n"
         "service: TarselHelper is not installed\n"},
        {"answered command",
         R"(["up",7])",
         R"({"nonce":7,"ok":true})",
         {Outcome::state, 4},
         "command: action=\"up\" nonce=7\n"
         "result: nonce=7 ok\n"
         "service: TarselHelper is running\n"},
        {"failed command",
         R"({"action":"down","nonce":8})",
         R"({"nonce":8,"ok":false,"error":"a\tb"})",
         {Outcome::state, 1},
         "command: action=\"down\" nonce=8\n"
         "result: nonce=8 failed, error=\"a\\tb\"\n"
         "service: TarselHelper is stopped\n"},
        {"nonce zero and a result being written",
         R"({"action":"up","nonce":0})",
         R"({"nonce":8,"ok":fa)",
         {Outcome::no_service_manager, 0},
         "command: action=\"up\" nonce=0 (nonce 0 is never answered)\n"
         "result: none (result.json is not a result document; the helper may be writing it)\n"
         "service: no service manager on this system; run tarsel-helper in the foreground "
         "instead\n"},
        {"not a command",
         "{\"action\":\"up\"}",
         "",
         {Outcome::state, 2},
         "command: none (rejected: a member is missing (both action and nonce are needed) (at "
         "byte 14))\n"
         "result: none (result.json is not a result document; the helper may be writing it)\n"
         "service: TarselHelper is starting\n"},
        {"not UTF-8",
         "[\"\xFF\",1]",
         {},
         {Outcome::state, 4},
         "command: none (command.json is not valid UTF-8)\n"
         "result: none (result.json does not exist)\n"
         "service: TarselHelper is running\n"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.desc);
        fs::remove(data / "command.json");
        fs::remove(data / "result.json");
        if (row.command) {
            write_file(data / "command.json", *row.command);
        }
        if (row.result) {
            result_bytes(*row.result);
        }
        service = row.service;
        out.clear();
        EXPECT_EQ(run({"status"}), 0);
        EXPECT_EQ(out, "data directory: " + platform::path_to_utf8(data) + "\n" + row.expected);
    }
    out.clear();
    EXPECT_EQ(run({"status", "--dir", "elsewhere"}), 0);
    EXPECT_TRUE(out.starts_with("data directory: elsewhere\ncommand: none")) << out;
}

TEST_F(Client, UsageTextAndExitCodes) {
    EXPECT_EQ(run({"--help"}), 0);
    EXPECT_EQ(out, client::usage_text());
    EXPECT_EQ(err, "");
    out.clear();
    EXPECT_EQ(run({"up", "please"}), 2);
    EXPECT_EQ(out, "");
    EXPECT_EQ(err, "tarselctl: unexpected argument please\n\n" + client::usage_text());
    EXPECT_FALSE(fs::exists(data / "command.json"));
}

TEST(ResultDocument, OnlyTheHelpersExactBytesCount) {
    using exchange::HelperResult;
    struct Row {
        const char* desc;
        std::string text;
        std::optional<HelperResult> expected;
    };
    const Row rows[] = {
        {"success", R"({"nonce":42,"ok":true})", HelperResult::success(42)},
        {"largest nonce", R"({"nonce":18446744073709551615,"ok":true})",
         HelperResult::success(18446744073709551615u)},
        {"failure with escapes",
         "{\"nonce\":7,\"ok\":false,\"error\":\"a/\\\"b\\\\\\u001b\\n\xC3\xA9\"}",
         HelperResult::failure(7, "a/\"b\\\x1b\n\xC3\xA9")},
        {"empty failure text", R"({"nonce":3,"ok":false,"error":""})",
         HelperResult::failure(3, "")},
        {"empty", "", {}},
        {"leading zero", R"({"nonce":042,"ok":true})", {}},
        {"nonce too large", R"({"nonce":18446744073709551616,"ok":true})", {}},
        {"whitespace", R"({"nonce":42, "ok":true})", {}},
        {"line break after", "{\"nonce\":42,\"ok\":true}\n", {}},
        {"escaped solidus is not the helper's", R"({"nonce":1,"ok":false,"error":"\/"})", {}},
        {"success with an error", R"({"nonce":1,"ok":true,"error":"x"})", {}},
        {"a member name the helper does not write", R"({"nonce":1,"okay":true})", {}},
        {"an escape the helper does not write", R"({"nonce":1,"ok":false,"error":"\u0041"})", {}},
        {"members in another order", R"({"ok":true,"nonce":1})", {}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.desc);
        EXPECT_EQ(exchange::parse_result(row.text), row.expected);
    }
    // Every cut of a document the helper is still writing reads as "not yet".
    const std::string whole = exchange::encode_result(HelperResult::failure(9, "x\"y"));
    for (std::size_t size = 0; size < whole.size(); ++size) {
        SCOPED_TRACE(size);
        EXPECT_EQ(exchange::parse_result(whole.substr(0, size)), std::nullopt);
    }
}

}  // namespace
