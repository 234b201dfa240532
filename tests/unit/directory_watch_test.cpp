// The change wait on a real directory. Time-outs here are bounds that a
// working watch never reaches ("it must not have taken this long"), except
// where a test asks for nothing to happen.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>

#include "platform/directory_watch.h"
#include "platform/wake_signal.h"
#include "support/temp_dir.h"

namespace {

using namespace std::chrono_literals;
using tarsel::platform::DirectoryWatch;
using tarsel::platform::WakeSignal;
using tarsel::platform::WatchWake;
using tarsel::testing::TempDir;
using tarsel::testing::write_file;
namespace fs = std::filesystem;

constexpr auto kNeverThisLong = 30s;

const char* name_of(WatchWake wake) {
    switch (wake) {
        case WatchWake::timed_out: return "timed_out";
        case WatchWake::signalled: return "signalled";
        case WatchWake::changed: return "changed";
        case WatchWake::unrelated: return "unrelated";
        case WatchWake::broken: return "broken";
    }
    return "?";
}

TEST(DirectoryWatch, WakesForTheWatchedNameOnly) {
    struct Row {
        const char* desc;
        std::function<void(const fs::path&)> before_watch;
        std::function<void(const fs::path&, const WakeSignal&)> act;
        WatchWake expected;
    };
    const Row rows[] = {
        {"written and closed", nullptr,
         [](const fs::path& dir, const WakeSignal&) { write_file(dir / "command.json", "{}"); },
         WatchWake::changed},
        {"renamed into place",
         [](const fs::path& dir) { write_file(dir / "command.json.tmp", "{}"); },
         [](const fs::path& dir, const WakeSignal&) {
             fs::rename(dir / "command.json.tmp", dir / "command.json");
         },
         WatchWake::changed},
        {"rewritten in place",
         [](const fs::path& dir) { write_file(dir / "command.json", "{}"); },
         [](const fs::path& dir, const WakeSignal&) { write_file(dir / "command.json", "{ }"); },
         WatchWake::changed},
        {"another file", nullptr,
         [](const fs::path& dir, const WakeSignal&) { write_file(dir / "result.json", "{}"); },
         WatchWake::unrelated},
        {"a longer name that starts alike", nullptr,
         [](const fs::path& dir, const WakeSignal&) { write_file(dir / "command.json.x", "{}"); },
         WatchWake::unrelated},
        {"signal raised", nullptr,
         [](const fs::path&, const WakeSignal& signal) { signal.raise(); }, WatchWake::signalled},
        {"signal wins over a pending change", nullptr,
         [](const fs::path& dir, const WakeSignal& signal) {
             write_file(dir / "command.json", "{}");
             signal.raise();
         },
         WatchWake::signalled},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.desc);
        TempDir temp;
        if (row.before_watch) {
            row.before_watch(temp.path());
        }
        auto watch = DirectoryWatch::open(temp.path(), "command.json");
        ASSERT_TRUE(watch.has_value());
        const WakeSignal signal = WakeSignal::create();
        ASSERT_TRUE(signal.valid());
        row.act(temp.path(), signal);
        EXPECT_STREQ(name_of(watch->wait(kNeverThisLong, signal)), name_of(row.expected));
    }
}

TEST(DirectoryWatch, NothingHappeningTimesOut) {
    TempDir temp;
    auto watch = DirectoryWatch::open(temp.path(), "command.json");
    ASSERT_TRUE(watch.has_value());
    const WakeSignal signal = WakeSignal::create();
    EXPECT_EQ(watch->wait(1ms, signal), WatchWake::timed_out);
    EXPECT_EQ(watch->wait(0ns, signal), WatchWake::timed_out);
}

// A raised signal stays raised: every later wait sees it at once, and a
// watch can also wait without one.
TEST(DirectoryWatch, RaisedSignalStaysRaised) {
    TempDir temp;
    auto watch = DirectoryWatch::open(temp.path(), "command.json");
    ASSERT_TRUE(watch.has_value());
    const WakeSignal signal = WakeSignal::create();
    EXPECT_FALSE(signal.is_raised());
    signal.raise();
    signal.raise();
    EXPECT_TRUE(signal.is_raised());
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(watch->wait(kNeverThisLong, signal), WatchWake::signalled);
    }
    const WakeSignal none;
    write_file(temp.path() / "command.json", "{}");
    EXPECT_EQ(watch->wait(kNeverThisLong, none), WatchWake::changed);
}

// A burst of changes is one wake: the wait takes every pending notification,
// and the watched file's change is not lost among the others.
TEST(DirectoryWatch, BurstIsTakenInOneWake) {
    TempDir temp;
    auto watch = DirectoryWatch::open(temp.path(), "command.json");
    ASSERT_TRUE(watch.has_value());
    const WakeSignal signal = WakeSignal::create();
    for (int i = 0; i < 200; ++i) {
        write_file(temp.path() / "other.json", std::to_string(i));
        if (i == 100) {
            write_file(temp.path() / "command.json", "{}");
        }
    }
    EXPECT_EQ(watch->wait(kNeverThisLong, signal), WatchWake::changed);
    EXPECT_EQ(watch->wait(0ns, signal), WatchWake::timed_out);
    // And it still works afterwards.
    write_file(temp.path() / "command.json", "{ }");
    EXPECT_EQ(watch->wait(kNeverThisLong, signal), WatchWake::changed);
}

TEST(DirectoryWatch, RefusesWhatIsNoDirectory) {
    TempDir temp;
    write_file(temp.path() / "file", "x");
    EXPECT_FALSE(DirectoryWatch::open(temp.path() / "missing", "command.json").has_value());
    EXPECT_FALSE(DirectoryWatch::open(temp.path() / "file", "command.json").has_value());
}

// The watch stays with the directory it opened: a directory put in its place
// afterwards never reports the watched file as changed.
TEST(DirectoryWatch, FollowsTheOpenedDirectoryNotTheName) {
    TempDir temp;
    const fs::path dir = temp.path() / "data";
    fs::create_directory(dir);
    auto watch = DirectoryWatch::open(dir, "command.json");
    ASSERT_TRUE(watch.has_value());
    const WakeSignal signal = WakeSignal::create();
    fs::rename(dir, temp.path() / "moved");
    fs::create_directory(dir);
    write_file(dir / "command.json", "{}");
    for (WatchWake wake = watch->wait(200ms, signal); wake != WatchWake::timed_out &&
                                                      wake != WatchWake::broken;
         wake = watch->wait(200ms, signal)) {
        EXPECT_NE(wake, WatchWake::changed);
    }
}

}  // namespace
