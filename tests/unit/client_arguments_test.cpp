#include "client/arguments.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using tarsel::client::Invocation;
using tarsel::client::Verb;

std::expected<Invocation, std::string> parse(std::vector<std::string> words) {
    words.insert(words.begin(), "tarselctl");
    return tarsel::client::parse_arguments(words);
}

TEST(ClientArguments, AcceptedCommandLines) {
    struct Row {
        const char* desc;
        std::vector<std::string> words;
        Invocation expected;
    };
    using std::chrono::seconds;
    const Row rows[] = {
        {"up with the defaults", {"up"}, {Verb::up, {}, seconds(120), ""}},
        {"down", {"down"}, {Verb::down, {}, seconds(120), ""}},
        {"options before the verb",
         {"--dir", "D:\\data dir", "--timeout", "5", "up"},
         {Verb::up, "D:\\data dir", seconds(5), ""}},
        {"options after the verb",
         {"down", "--timeout", "4294967295"},
         {Verb::down, {}, seconds(4294967295), ""}},
        {"status with a directory",
         {"status", "--dir", "x"},
         {Verb::status, "x", seconds(120), ""}},
        {"check takes one file",
         {"check", "command.json"},
         {Verb::check, {}, seconds(120), "command.json"}},
        {"a file named like a dash", {"check", "-"}, {Verb::check, {}, seconds(120), "-"}},
        {"--help wins over everything", {"up", "--bogus", "--help"}, {}},
        {"-h", {"-h"}, {}},
        {"a directory named --help",
         {"--dir", "--help", "up"},
         {Verb::up, "--help", seconds(120), ""}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.desc);
        const auto parsed = parse(row.words);
        ASSERT_TRUE(parsed.has_value()) << parsed.error();
        EXPECT_EQ(*parsed, row.expected);
    }
}

TEST(ClientArguments, UsageErrors) {
    struct Row {
        const char* desc;
        std::vector<std::string> words;
        std::string expected;
    };
    const Row rows[] = {
        {"nothing", {}, "no command given"},
        {"only options", {"--dir", "x"}, "no command given"},
        {"unknown verb", {"Up"}, "unknown command Up"},
        {"unknown option", {"up", "--wait"}, "unknown option --wait"},
        {"extra word after up", {"up", "now"}, "unexpected argument now"},
        {"check without a file", {"check"}, "check needs a FILE"},
        {"check with two files", {"check", "a", "b"}, "unexpected argument b"},
        {"--dir without its value", {"up", "--dir"}, "--dir needs a value"},
        {"--dir twice", {"--dir", "a", "--dir", "b", "up"}, "--dir given twice"},
        {"--timeout twice", {"--timeout", "1", "--timeout", "1", "up"}, "--timeout given twice"},
        {"--timeout zero",
         {"--timeout", "0", "up"},
         "--timeout needs a whole number of seconds from 1 to 4294967295, not \"0\""},
        {"--timeout negative",
         {"--timeout", "-1", "up"},
         "--timeout needs a whole number of seconds from 1 to 4294967295, not \"-1\""},
        {"--timeout with a unit",
         {"--timeout", "5s", "up"},
         "--timeout needs a whole number of seconds from 1 to 4294967295, not \"5s\""},
        {"--timeout too large",
         {"--timeout", "4294967296", "up"},
         "--timeout needs a whole number of seconds from 1 to 4294967295, not \"4294967296\""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.desc);
        const auto parsed = parse(row.words);
        ASSERT_FALSE(parsed.has_value());
        EXPECT_EQ(parsed.error(), row.expected);
    }
}

}  // namespace
