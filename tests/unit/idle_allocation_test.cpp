// The loop reads command.json every 300 ms for the life of the machine. Once
// the command in it has been answered, a pass must not touch the heap: this
// program replaces operator new to count every allocation on any thread.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "exchange/command_loop.h"
#include "exchange/documents.h"
#include "platform/files.h"
#include "support/temp_dir.h"

namespace {
std::atomic<std::size_t> g_allocations{0};

void* counted_allocation(std::size_t size) {
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* block = std::malloc(size == 0 ? 1 : size)) {
        return block;
    }
    throw std::bad_alloc();
}
}  // namespace

// The aligned forms are left alone: nothing on these paths over-aligns.
void* operator new(std::size_t size) {
    return counted_allocation(size);
}
void* operator new[](std::size_t size) {
    return counted_allocation(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    return std::malloc(size == 0 ? 1 : size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    return std::malloc(size == 0 ? 1 : size);
}
void operator delete(void* block) noexcept {
    std::free(block);
}
void operator delete[](void* block) noexcept {
    std::free(block);
}
void operator delete(void* block, std::size_t) noexcept {
    std::free(block);
}
void operator delete[](void* block, std::size_t) noexcept {
    std::free(block);
}

namespace {

using namespace tarsel;
using namespace tarsel::testing;

constexpr int kIdlePasses = 50;

TEST(IdleAllocation, RereadingAnUnchangedCommandAllocatesNothingAfterTheFirstRead) {
    struct Case {
        const char* desc;
        std::string document;
        std::string action;
    };
    const Case cases[] = {
        {"the usual 30-byte command", R"({"action":"up","nonce":42}  )", "up"},
        {"an action too long for a short-string buffer",
         R"({"action":"a much longer action than any short-string buffer holds","nonce":7})",
         "a much longer action than any short-string buffer holds"},
        {"the array form", R"(["down",9])", "down"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.desc);
        TempDir temp;
        write_file(temp.path() / "command.json", c.document);
        exchange::CommandFileReader reader(temp.path() / "command.json");
        ASSERT_NE(reader.read(), nullptr);

        const std::size_t before = g_allocations.load();
        int accepted = 0;
        for (int i = 0; i < kIdlePasses; ++i) {
            const exchange::HelperCommand* command = reader.read();
            accepted += command != nullptr && command->action == c.action ? 1 : 0;
        }
        EXPECT_EQ(g_allocations.load() - before, 0u);
        EXPECT_EQ(accepted, kIdlePasses);
    }
}

// A client may leave a broken command.json in place for hours. Keeping the
// reason a rejection is read for costs nothing either: it is a rule and an
// offset, and its text is made only when someone asks for it.
TEST(IdleAllocation, RereadingARejectedCommandAllocatesNothingAndKeepsTheReason) {
    struct Case {
        const char* desc;
        std::string document;
        exchange::Rejection rule;
    };
    const Case cases[] = {
        {"a repeated member", R"({"action":"up","nonce":1,"nonce":1})",
         exchange::Rejection::repeated_member},
        {"trailing data", R"({"action":"up","nonce":1} x)", exchange::Rejection::trailing_data},
        {"a lone surrogate in a long action",
         R"({"action":"a much longer action than any short-string buffer holds \ud800","nonce":1})",
         exchange::Rejection::lone_surrogate},
        {"a missing member", R"({"action":"up"})", exchange::Rejection::missing_member},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.desc);
        TempDir temp;
        write_file(temp.path() / "command.json", c.document);
        exchange::CommandFileReader reader(temp.path() / "command.json");
        ASSERT_EQ(reader.read(), nullptr);

        const std::size_t before = g_allocations.load();
        int rejected_for_the_reason = 0;
        for (int i = 0; i < kIdlePasses; ++i) {
            const bool rejected = reader.read() == nullptr;
            rejected_for_the_reason += rejected && reader.failure().rule == c.rule ? 1 : 0;
        }
        EXPECT_EQ(g_allocations.load() - before, 0u);
        EXPECT_EQ(rejected_for_the_reason, kIdlePasses);
    }
}

// The whole pass of the real loop, stop check and sleep seam included, after
// the command has been answered.
TEST(IdleAllocation, LoopPassesAfterTheAnswerAllocateNothing) {
    TempDir temp;
    write_file(temp.path() / "command.json", R"({"action":"up","nonce":42})");
    exchange::StopFlag stop = exchange::StopFlag::create();
    int sleeps = 0;
    int actions = 0;
    std::size_t at_steady_state = 0;
    std::size_t at_end = 0;
    // Pass 1 answers the command, pass 2 is the first idle pass; passes 3 to
    // 3 + kIdlePasses are measured.
    const exchange::LoopSettings settings{
        .data_dir = temp.path(),
        .poll_interval = std::chrono::milliseconds(1),
        .sleep =
            [&](std::chrono::nanoseconds) {
                ++sleeps;
                if (sleeps == 2) {
                    at_steady_state = g_allocations.load();
                } else if (sleeps == 2 + kIdlePasses) {
                    at_end = g_allocations.load();
                    stop.set();
                }
            },
        .run_action =
            [&](std::string_view) {
                ++actions;
                return exchange::ActionOutcome{};
            },
    };
    exchange::command_loop(stop, settings);
    EXPECT_EQ(actions, 1);
    EXPECT_EQ(sleeps, 2 + kIdlePasses);
    EXPECT_EQ(at_end - at_steady_state, 0u);
    EXPECT_EQ(read_file(temp.path() / "result.json"), R"({"nonce":42,"ok":true})");
}

// The same with the product's change wait in place of the sleep: each idle
// pass is one wait that runs out, and neither the wait nor the pacing around
// it touches the heap.
TEST(IdleAllocation, WaitingPassesAllocateNothingAndWaitOncePerInterval) {
    TempDir temp;
    write_file(temp.path() / "command.json", R"({"action":"up","nonce":42})");
    exchange::StopFlag stop = exchange::StopFlag::create();
    int waits = 0;
    int sleeps = 0;
    int sleeps_at_steady_state = 0;
    std::size_t at_steady_state = 0;
    std::size_t at_end = 0;
    std::vector<platform::WatchWake> wakes;
    wakes.reserve(4 + kIdlePasses);
    exchange::LoopSettings settings{
        .data_dir = temp.path(),
        // Longer than the minimum gap, so that an early wake keeps only the
        // interval it happened in from being one plain wait.
        .poll_interval = 2 * exchange::kMinimumGap,
        .sleep = [&](std::chrono::nanoseconds) { ++sleeps; },
        .run_action = [](std::string_view) { return exchange::ActionOutcome{}; },
    };
    settings.watch_changes = [&](const platform::Path& directory) -> exchange::ChangeWait {
        return [&, real = exchange::watch_command_file(directory)](
                   std::chrono::nanoseconds timeout, const platform::WakeSignal& wake) mutable {
            ++waits;
            if (waits == 2) {
                at_steady_state = g_allocations.load();
                sleeps_at_steady_state = sleeps;
            } else if (waits == 2 + kIdlePasses) {
                at_end = g_allocations.load();
                stop.set();
            }
            wakes.push_back(real(timeout, wake));
            return wakes.back();
        };
    };
    exchange::command_loop(stop, settings);
    EXPECT_EQ(at_end - at_steady_state, 0u);
    // Writing the answer may wake the wait after its pass (Windows reports
    // every name); from then on each interval is one wait that runs out and
    // no sleep.
    EXPECT_EQ(sleeps, sleeps_at_steady_state);
    ASSERT_EQ(wakes.size(), static_cast<std::size_t>(2 + kIdlePasses));
    for (std::size_t i = 1; i + 1 < wakes.size(); ++i) {
        EXPECT_EQ(wakes[i], platform::WatchWake::timed_out) << "wait " << i;
    }
}

}  // namespace
