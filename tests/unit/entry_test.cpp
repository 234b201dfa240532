#include "main/entry.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace {

using tarsel::entry::EntryOperations;
using tarsel::entry::run_entry;

TEST(Entry, FirstArgumentChoosesTheOperation) {
    struct Row {
        const char* desc;
        std::vector<std::string> arguments;  // program name first
        std::optional<std::string> failure;  // what the chosen operation returns
        std::string expected_operation;
        std::string expected_standard_error;
        int expected_exit_code;
    };
    const std::string io = "IO error in winapi call";
    const Row rows[] = {
        {"install succeeds", {"helper.exe", "install"}, std::nullopt, "install", "", 0},
        {"install fails",
         {"helper.exe", "install"},
         io,
         "install",
         "install failed: IO error in winapi call\n",
         1},
        {"uninstall succeeds", {"helper.exe", "uninstall"}, std::nullopt, "uninstall", "", 0},
        {"uninstall fails",
         {"helper.exe", "uninstall"},
         io,
         "uninstall",
         "uninstall failed: IO error in winapi call\n",
         1},
        {"repair succeeds", {"helper.exe", "repair"}, std::nullopt, "repair", "", 0},
        {"repair fails with the last attempt's text",
         {"helper.exe", "repair"},
         "Access is denied. (os error 5)",
         "repair",
         "repair failed: Access is denied. (os error 5)\n",
         1},
        {"further arguments ignored",
         {"helper.exe", "uninstall", "extra", "words"},
         std::nullopt,
         "uninstall",
         "",
         0},
        {"no argument: service stops normally", {"helper.exe"}, std::nullopt, "run_service", "", 0},
        {"no argument from a console",
         {"helper.exe"},
         io,
         "run_service",
         "service dispatch failed: IO error in winapi call\n",
         1},
        {"no program name either",
         {},
         io,
         "run_service",
         "service dispatch failed: IO error in winapi call\n",
         1},
        {"upper case",
         {"helper.exe", "INSTALL"},
         io,
         "run_service",
         "service dispatch failed: IO error in winapi call\n",
         1},
        {"capitalised",
         {"helper.exe", "Install"},
         io,
         "run_service",
         "service dispatch failed: IO error in winapi call\n",
         1},
        {"dashes",
         {"helper.exe", "--install"},
         io,
         "run_service",
         "service dispatch failed: IO error in winapi call\n",
         1},
        {"trailing blank",
         {"helper.exe", "install "},
         io,
         "run_service",
         "service dispatch failed: IO error in winapi call\n",
         1},
        {"prefix of a word",
         {"helper.exe", "repai"},
         io,
         "run_service",
         "service dispatch failed: IO error in winapi call\n",
         1},
        {"empty argument", {"helper.exe", ""}, std::nullopt, "run_service", "", 0},
        {"word only second", {"helper.exe", "x", "install"}, std::nullopt, "run_service", "", 0},
        {"empty failure text still one line",
         {"helper.exe", "install"},
         "",
         "install",
         "install failed: \n",
         1},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.desc);
        std::vector<std::string> called;
        std::vector<std::string> writes;
        const auto operation = [&](std::string name) {
            return [&, name]() -> std::expected<void, std::string> {
                called.push_back(name);
                if (row.failure) {
                    return std::unexpected(*row.failure);
                }
                return {};
            };
        };
        const EntryOperations operations{
            .install = operation("install"),
            .uninstall = operation("uninstall"),
            .repair = operation("repair"),
            .run_service = operation("run_service"),
            .write_standard_error = [&](std::string_view bytes) { writes.emplace_back(bytes); },
        };
        EXPECT_EQ(run_entry(row.arguments, operations), row.expected_exit_code);
        EXPECT_EQ(called, std::vector<std::string>{row.expected_operation});
        if (row.expected_standard_error.empty()) {
            EXPECT_EQ(writes, std::vector<std::string>{});
        } else {
            EXPECT_EQ(writes, std::vector<std::string>{row.expected_standard_error});
        }
    }
}

}  // namespace
