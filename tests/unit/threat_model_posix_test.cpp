// Attacks that need what only the POSIX build can make for real: symbolic
// links and FIFOs. Junctions on Windows are the same attack as the links here.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/file_trust.h"
#include "platform/files.h"
#include "threat_fixture.h"

namespace {

using namespace tarsel::testing;

void make_fifo(const fs::path& path) {
    ASSERT_EQ(::mkfifo(path.c_str(), 0666), 0) << path;
}

TEST_F(ThreatModel, LinksAndFifosInPlaceOfTheDocumentsAreRefused) {
    int reader = -1;
    check_attacks({
        {"command.json linked to a valid command elsewhere",
         [&] {
             write_file(outside / "secret.json", R"({"action":"up","nonce":1})");
             fs::create_symlink(outside / "secret.json", data / "command.json");
         },
         0},
        {"command.json as a FIFO", [&] { make_fifo(data / "command.json"); }, 0,
         // A reader blocked in open() is released when a writer comes along.
         [&] { ::close(::open((data / "command.json").c_str(), O_WRONLY | O_NONBLOCK)); }},
        {"result.json linked to a file elsewhere",
         [&] {
             command(R"({"action":"up","nonce":1})");
             write_file(outside / "shadow", "root:x:0:0");
             fs::create_symlink(outside / "shadow", data / "result.json");
         },
         1},
        {"result.json linked to a name elsewhere that does not exist yet",
         [&] {
             command(R"({"action":"up","nonce":1})");
             fs::create_symlink(outside / "planted", data / "result.json");
         },
         1},
        {"result.json as a FIFO with a reader waiting",
         [&] {
             command(R"({"action":"up","nonce":1})");
             make_fifo(data / "result.json");
             reader = ::open((data / "result.json").c_str(), O_RDONLY | O_NONBLOCK);
             ASSERT_GE(reader, 0);
         },
         1,
         {},
         [&] {
             char byte;
             EXPECT_LE(::read(reader, &byte, 1), 0) << "the helper wrote into the FIFO";
             ::close(reader);
         }},
    });
}

TEST_F(ThreatModel, TarselConfAsALinkFailsUpWithoutStartingWireguard) {
    write_file(outside / "secret.key", "belongs to the system");
    fs::create_symlink(outside / "secret.key", data / "tarsel.conf");
    command(R"({"action":"up","nonce":5})");
    script = {[] {}};
    EXPECT_TRUE(run_loop());
    EXPECT_EQ(ran(), std::vector<Arguments>{});
    EXPECT_EQ(result(),
              R"({"nonce":5,"ok":false,"error":"tarsel.conf is not a plain file in the data directory"})");
}

TEST_F(ThreatModel, DataDirMadeAsALinkBeforeTheHelperStartsIsNeverUsed) {
    write_file(outside / "command.json", R"({"action":"up","nonce":1})");
    write_file(outside / "result.json", "belongs to someone else");
    fs::remove(data);
    fs::create_directory_symlink(outside, data);
    const auto before = outside_snapshot();
    script.assign(3, [] {});
    EXPECT_TRUE(run_loop());
    EXPECT_EQ(ran(), ups(0));
    EXPECT_EQ(outside_snapshot(), before);

    // Once the link is gone, the next start serves an honest client.
    fs::remove(data);
    fs::create_directory(data);
    command(R"({"action":"up","nonce":2})");
    EXPECT_TRUE(run_loop());
    EXPECT_EQ(ran(), ups(1));
    EXPECT_EQ(result(), R"({"nonce":2,"ok":true})");
}

TEST_F(ThreatModel, DataDirSwappedForALinkWhileRunningIsNeitherReadNorWritten) {
    write_file(outside / "command.json", R"({"action":"up","nonce":2})");
    write_file(outside / "result.json", "belongs to someone else");
    const auto before = outside_snapshot();
    const fs::path moved = temp.path() / "moved";
    command(R"({"action":"up","nonce":1})");
    std::vector<Arguments> runs_after_swap;
    script = {
        [&] {
            fs::rename(data, moved);
            fs::create_directory_symlink(outside, data);
        },
        [] {},
        [&] {
            runs_after_swap = ran();
            fs::remove(data);
            fs::rename(moved, data);
            command(R"({"action":"up","nonce":3})");
        },
        [] {},
    };
    EXPECT_TRUE(run_loop());
    EXPECT_EQ(runs_after_swap, ups(1)) << "the command behind the link was acted on";
    EXPECT_EQ(outside_snapshot(), before);
    EXPECT_EQ(ran(), ups(2));
    EXPECT_EQ(result(), R"({"nonce":3,"ok":true})");
}

TEST_F(ThreatModel, DataDirSwappedForALinkDuringAnActionGetsNoResultBehindTheLink) {
    const auto before = outside_snapshot();
    const fs::path moved = temp.path() / "moved";
    command(R"({"action":"up","nonce":1})");
    after_action = [&] {
        after_action = {};
        fs::rename(data, moved);
        fs::create_directory_symlink(outside, data);
    };
    script = {
        [&] {
            fs::remove(data);
            fs::rename(moved, data);
            command(R"({"action":"up","nonce":2})");
        },
        [] {},
    };
    EXPECT_TRUE(run_loop());
    EXPECT_EQ(outside_snapshot(), before) << "the result went where the link points";
    EXPECT_EQ(ran(), ups(2));
    EXPECT_EQ(result(), R"({"nonce":2,"ok":true})");
}

TEST_F(ThreatModel, DocumentsBehindLinksAreRefusedAtTheFileLevel) {
    write_file(outside / "secret.json", R"({"action":"up","nonce":1})");
    fs::create_symlink(outside / "secret.json", data / "command.json");
    EXPECT_EQ(tarsel::platform::read_whole_file(data / "command.json", 100).error(),
              tarsel::platform::ReadFailure::open_failed);
    fs::create_symlink(outside, temp.path() / "link-to-outside");
    EXPECT_EQ(
        tarsel::platform::read_whole_file(temp.path() / "link-to-outside" / "secret.json", 100)
            .error(),
        tarsel::platform::ReadFailure::not_a_plain_file);
    EXPECT_FALSE(tarsel::platform::is_unredirected_directory(temp.path() / "link-to-outside"));
    EXPECT_EQ(tarsel::platform::replace_file_content(
                  temp.path() / "link-to-outside" / "secret.json", "{}")
                  .error(),
              tarsel::platform::WriteFailure::not_a_private_file);
    EXPECT_EQ(read_file(outside / "secret.json"), R"({"action":"up","nonce":1})");
    // A name that does not exist yet is not created behind the link either.
    EXPECT_EQ(tarsel::platform::replace_file_content(
                  temp.path() / "link-to-outside" / "result.json", "{}")
                  .error(),
              tarsel::platform::WriteFailure::not_a_private_file);
    EXPECT_FALSE(fs::exists(outside / "result.json"));
}

// What the reader keeps between passes must not let a later pass read what a
// fresh reader would refuse.
TEST(RepeatedRead, AFileThatPassedOnceIsCheckedAgainOnceReplaced) {
    TempDir temp;
    const fs::path data = temp.path() / "data";
    const fs::path elsewhere = temp.path() / "elsewhere";
    fs::create_directories(data);
    fs::create_directories(elsewhere);
    write_file(data / "command.json", R"({"action":"up","nonce":1})");
    write_file(elsewhere / "command.json", R"({"action":"secret","nonce":2})");
    tarsel::platform::RepeatedFileReader reader(data / "command.json", 1024);
    ASSERT_TRUE(reader.read().has_value());

    // Rewritten in place: read again, with the new bytes.
    write_file(data / "command.json", R"({"action":"down","nonce":3})");
    const auto rewritten = reader.read();
    ASSERT_TRUE(rewritten.has_value());
    EXPECT_EQ(*rewritten, R"({"action":"down","nonce":3})");

    // The directory swapped for a link to another one: refused.
    fs::rename(data, temp.path() / "data-old");
    fs::create_directory_symlink(elsewhere, data);
    const auto redirected = reader.read();
    ASSERT_FALSE(redirected.has_value());
    EXPECT_EQ(redirected.error(), tarsel::platform::ReadFailure::not_a_plain_file);
}

TEST(SameFileSystemPath, PosixComparesBytesAndIgnoresTrailingSlashes) {
    struct Row {
        const char* desc;
        const char* a;
        const char* b;
        bool same;
    };
    const Row rows[] = {
        {"equal", "/srv/TarselVPN", "/srv/TarselVPN", true},
        {"trailing slash", "/srv/TarselVPN/", "/srv/TarselVPN", true},
        {"case differs", "/srv/tarselvpn", "/srv/TarselVPN", false},
        {"a longer name", "/srv/TarselVPN2", "/srv/TarselVPN", false},
        {"root", "/", "/", true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.desc);
        EXPECT_EQ(tarsel::platform::same_file_system_path(row.a, row.b), row.same);
    }
}

}  // namespace
