// Attacks on data_dir that a local user can stage on every system the helper
// builds for. Each is refused without touching anything outside data_dir, and
// the helper goes on to serve the next honest command.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "platform/file_trust.h"
#include "platform/files.h"
#include "threat_fixture.h"

namespace {

using namespace tarsel::testing;
using tarsel::platform::ObjectKind;
using tarsel::platform::OpenedObject;

TEST_F(ThreatModel, PlantsInPlaceOfTheDocumentsAreRefused) {
    check_attacks({
        {"a directory named command.json", [&] { fs::create_directory(data / "command.json"); }, 0},
        {"a directory named result.json",
         [&] {
             command(R"({"action":"up","nonce":1})");
             fs::create_directory(data / "result.json");
         },
         1},
        {"result.json as a second name of a file elsewhere",
         [&] {
             command(R"({"action":"up","nonce":1})");
             write_file(outside / "system.ini", "belongs to the system");
             fs::create_hard_link(outside / "system.ini", data / "result.json");
         },
         1},
    });
}

TEST_F(ThreatModel, OnlyARealDirectoryAtItsOwnPathIsTrusted) {
    write_file(temp.path() / "a-file", "x");
    EXPECT_TRUE(tarsel::platform::is_unredirected_directory(data));
    EXPECT_FALSE(tarsel::platform::is_unredirected_directory(temp.path() / "a-file"));
    EXPECT_FALSE(tarsel::platform::is_unredirected_directory(temp.path() / "missing"));

    // An empty PROGRAMDATA leaves data_dir relative to the current directory.
    const fs::path previous = fs::current_path();
    fs::current_path(data.parent_path());
    const bool relative_trusted = tarsel::platform::is_unredirected_directory("TarselVPN");
    fs::current_path(previous);
    EXPECT_TRUE(relative_trusted);
}

// Whatever holds data_dir's name and is not a directory the helper may trust
// is moved aside beside it, whole, and a fresh directory is made in its place.
TEST_F(ThreatModel, AFileInPlaceOfDataDirIsMovedAsideAndAFreshDirectoryMade) {
    fs::remove_all(data);
    write_file(data, "planted");
    ASSERT_TRUE(tarsel::platform::prepare_data_directory(data));
    EXPECT_TRUE(fs::is_directory(data));
    EXPECT_TRUE(tarsel::platform::is_unredirected_directory(data));
    std::vector<std::string> aside;
    for (const auto& entry : fs::directory_iterator(data.parent_path())) {
        const std::string name = entry.path().filename().string();
        if (name.starts_with(data.filename().string() + ".untrusted-")) {
            aside.push_back(read_file(entry.path()));
        }
    }
    EXPECT_EQ(aside, std::vector<std::string>{"planted"});
}

// A data_dir that cannot be made at start (a file holds its parent's name) is
// tried again on each pass, and served once it can be made.
TEST_F(ThreatModel, DataDirThatCouldNotBeMadeIsServedOnceItCanBe) {
    fs::remove_all(data.parent_path());
    write_file(data.parent_path(), "in the way");
    std::vector<Arguments> ran_while_missing{up()};
    script = {
        [] {},
        [&] {
            EXPECT_FALSE(fs::exists(data));
            fs::remove(data.parent_path());
        },
        [&] {
            ran_while_missing = ran();
            command(R"({"action":"up","nonce":1})");
        },
        [] {},
    };
    EXPECT_TRUE(run_loop());
    EXPECT_EQ(ran_while_missing, std::vector<Arguments>{});
    EXPECT_EQ(ran(), ups(1));
    EXPECT_EQ(result(), R"({"nonce":1,"ok":true})");
}

// wireguard.exe reads tarsel.conf with the helper's rights, so it is never
// pointed at anything but a plain file with one name; a missing one is still
// handed over, for wireguard.exe to report.
TEST_F(ThreatModel, TarselConfThatIsNotAPlainFileFailsUpWithoutStartingWireguard) {
    struct Case {
        const char* desc;
        std::function<void()> plant;
        bool runs;
    };
    const Case cases[] = {
        {"missing", [] {}, true},
        {"a plain file", [&] { write_file(data / "tarsel.conf", "[Interface]\n"); }, true},
        {"a second name of a file elsewhere",
         [&] {
             write_file(outside / "secret.key", "belongs to the system");
             fs::create_hard_link(outside / "secret.key", data / "tarsel.conf");
         },
         false},
        {"a directory", [&] { fs::create_directory(data / "tarsel.conf"); }, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.desc);
        fs::remove_all(data);
        fs::remove_all(outside);
        fs::create_directories(data);
        fs::create_directories(outside);
        fs::remove(helper_dir / "wireguard-standin.log");
        c.plant();
        command(R"({"action":"up","nonce":5})");
        script = {[] {}};
        EXPECT_TRUE(run_loop());
        EXPECT_EQ(ran(), ups(c.runs ? 1 : 0));
        EXPECT_EQ(result(), c.runs ? R"({"nonce":5,"ok":true})"
                                   : R"({"nonce":5,"ok":false,"error":"tarsel.conf is not a plain )"
                                     R"(file in the data directory"})");
    }
}

// The rules themselves, with the facts a handle would report fed in. Junctions
// and object-manager links cannot be made under Wine; their facts can.
TEST(FileTrust, WhatMayBeReadAndWritten) {
    const fs::path data = fs::temp_directory_path() / "ProgramData" / "TarselVPN";
    const fs::path intended = data / "result.json";
    const fs::path elsewhere = fs::temp_directory_path() / "Windows" / "result.json";
    struct Row {
        const char* desc;
        OpenedObject object;
        bool readable;
        bool writable;
    };
    const Row rows[] = {
        {"plain file with one name", {ObjectKind::regular_file, false, 1, intended}, true, true},
        {"second name of a file elsewhere",
         {ObjectKind::regular_file, false, 2, intended},
         true,
         false},
        {"symbolic link or reparse point itself",
         {ObjectKind::regular_file, true, 1, intended},
         false,
         false},
        {"reached through a redirected directory",
         {ObjectKind::regular_file, false, 1, elsewhere},
         false,
         false},
        {"final path unknown", {ObjectKind::regular_file, false, 1, std::nullopt}, false, false},
        {"pipe, FIFO or device", {ObjectKind::other, false, 1, intended}, false, false},
        {"directory", {ObjectKind::directory, false, 1, intended}, false, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.desc);
        EXPECT_EQ(tarsel::platform::is_plain_file_at(row.object, intended), row.readable);
        EXPECT_EQ(tarsel::platform::is_plain_file_only_at(row.object, intended), row.writable);
    }
}

TEST(FileTrust, WhichDataDirIsTrusted) {
    const fs::path data = fs::temp_directory_path() / "ProgramData" / "TarselVPN";
    const fs::path elsewhere = fs::temp_directory_path() / "Windows" / "System32";
    struct Row {
        const char* desc;
        OpenedObject object;
        bool trusted;
    };
    const Row rows[] = {
        {"real directory", {ObjectKind::directory, false, 1, data}, true},
        {"junction or symbolic link", {ObjectKind::directory, true, 1, data}, false},
        {"leads elsewhere", {ObjectKind::directory, false, 1, elsewhere}, false},
        {"a parent of it", {ObjectKind::directory, false, 1, data.parent_path()}, false},
        {"final path unknown", {ObjectKind::directory, false, 1, std::nullopt}, false},
        {"a file", {ObjectKind::regular_file, false, 1, data}, false},
        {"a device", {ObjectKind::other, false, 1, data}, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.desc);
        EXPECT_EQ(tarsel::platform::is_real_directory_at(row.object, data), row.trusted);
    }
}

}  // namespace
