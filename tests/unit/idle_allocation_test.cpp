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

// How many allocations kIdlePasses calls of `pass` make, on any thread.
template <class Pass>
std::size_t allocations_over_idle_passes(Pass pass) {
    const std::size_t before = g_allocations.load();
    for (int i = 0; i < kIdlePasses; ++i) {
        pass();
    }
    return g_allocations.load() - before;
}

// The same for the real loop, counted at one of its seams: the window opens
// at the seam's second call (pass 1 answers the command, pass 2 is the first
// idle one) and closes kIdlePasses calls later, when it stops the loop.
class IdleWindow {
  public:
    explicit IdleWindow(exchange::StopFlag& stop) : stop_(stop) {}

    // Called by the seam on each pass; true on the call that opens the window.
    bool on_pass() {
        ++calls_;
        if (calls_ == 2) {
            at_open_ = g_allocations.load();
            return true;
        }
        if (calls_ == 2 + kIdlePasses) {
            at_close_ = g_allocations.load();
            stop_.set();
        }
        return false;
    }

    [[nodiscard]] int calls() const { return calls_; }
    [[nodiscard]] std::size_t allocations() const { return at_close_ - at_open_; }

  private:
    exchange::StopFlag& stop_;
    int calls_ = 0;
    std::size_t at_open_ = 0;
    std::size_t at_close_ = 0;
};

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

        int accepted = 0;
        EXPECT_EQ(allocations_over_idle_passes([&] {
                      const exchange::HelperCommand* command = reader.read();
                      accepted += command != nullptr && command->action == c.action ? 1 : 0;
                  }),
                  0u);
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

        int rejected_for_the_reason = 0;
        EXPECT_EQ(allocations_over_idle_passes([&] {
                      const bool rejected = reader.read() == nullptr;
                      rejected_for_the_reason +=
                          rejected && reader.failure().rule == c.rule ? 1 : 0;
                  }),
                  0u);
        EXPECT_EQ(rejected_for_the_reason, kIdlePasses);
    }
}

// The whole pass of the real loop, stop check and sleep seam included, after
// the command has been answered.
TEST(IdleAllocation, LoopPassesAfterTheAnswerAllocateNothing) {
    TempDir temp;
    write_file(temp.path() / "command.json", R"({"action":"up","nonce":42})");
    exchange::StopFlag stop = exchange::StopFlag::create();
    IdleWindow sleeps(stop);
    int actions = 0;
    const exchange::LoopSettings settings{
        .data_dir = temp.path(),
        .poll_interval = std::chrono::milliseconds(1),
        .sleep = [&](std::chrono::nanoseconds) { (void)sleeps.on_pass(); },
        .run_action =
            [&](std::string_view) {
                ++actions;
                return exchange::ActionOutcome{};
            },
    };
    exchange::command_loop(stop, settings);
    EXPECT_EQ(actions, 1);
    EXPECT_EQ(sleeps.calls(), 2 + kIdlePasses);
    EXPECT_EQ(sleeps.allocations(), 0u);
    EXPECT_EQ(read_file(temp.path() / "result.json"), R"({"nonce":42,"ok":true})");
}

// The same with the product's change wait in place of the sleep: each idle
// pass is one wait that runs out, and neither the wait nor the pacing around
// it touches the heap.
TEST(IdleAllocation, WaitingPassesAllocateNothingAndWaitOncePerInterval) {
    TempDir temp;
    write_file(temp.path() / "command.json", R"({"action":"up","nonce":42})");
    exchange::StopFlag stop = exchange::StopFlag::create();
    IdleWindow waits(stop);
    int sleeps = 0;
    int sleeps_at_steady_state = 0;
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
            if (waits.on_pass()) {
                sleeps_at_steady_state = sleeps;
            }
            wakes.push_back(real(timeout, wake));
            return wakes.back();
        };
    };
    exchange::command_loop(stop, settings);
    EXPECT_EQ(waits.allocations(), 0u);
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
