// Objects in data_dir that another account made first, with real owners:
// the test runs as root and hands what it plants to `nobody`, as a local
// user who got there before the helper would own it.
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/files.h"
#include "threat_fixture.h"

namespace {

using namespace tarsel::testing;

class OwnedByNobody : public ThreatModel {
  protected:
    uid_t nobody = 0;
    gid_t nobody_group = 0;

    void SetUp() override {
        if (::geteuid() != 0) {
            GTEST_SKIP() << "needs root, to give files to another account";
        }
        const passwd* entry = ::getpwnam("nobody");
        if (entry == nullptr) {
            GTEST_SKIP() << "this system has no account named nobody";
        }
        nobody = entry->pw_uid;
        nobody_group = entry->pw_gid;
        ThreatModel::SetUp();
    }

    void give_to_nobody(const fs::path& path) const {
        ASSERT_EQ(::lchown(path.c_str(), nobody, nobody_group), 0) << path;
    }

    [[nodiscard]] static struct stat stat_of(const fs::path& path) {
        struct stat st {};
        EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
        return st;
    }

    // Whatever prepare_data_directory moved aside, beside data_dir.
    [[nodiscard]] std::vector<fs::path> set_aside() const {
        std::vector<fs::path> found;
        for (const auto& entry : fs::directory_iterator(data.parent_path())) {
            if (entry.path().filename().string().starts_with("TarselVPN.untrusted-")) {
                found.push_back(entry.path());
            }
        }
        return found;
    }
};

TEST_F(OwnedByNobody, DataDirMadeFirstIsSetAsideAndAFreshOneServed) {
    // nobody made data_dir, left a command in it and a result.json to rewrite.
    command(R"({"action":"up","nonce":1})");
    write_file(data / "result.json", R"({"nonce":1,"ok":true})");
    give_to_nobody(data / "command.json");
    give_to_nobody(data / "result.json");
    give_to_nobody(data);
    const ino_t planted = stat_of(data).st_ino;
    script = {
        [&] { command(R"({"action":"up","nonce":2})"); },
        [] {},
    };
    EXPECT_TRUE(run_loop());
    EXPECT_EQ(ran(), ups(1)) << "only the command in the helper's own directory runs";
    const struct stat fresh = stat_of(data);
    EXPECT_NE(fresh.st_ino, planted);
    EXPECT_EQ(fresh.st_uid, 0u);
    EXPECT_EQ(stat_of(data / "result.json").st_uid, 0u);
    EXPECT_EQ(result(), R"({"nonce":2,"ok":true})");

    // nobody's directory is kept whole under a name no one could guess.
    const auto aside = set_aside();
    ASSERT_EQ(aside.size(), 1u);
    EXPECT_EQ(stat_of(aside[0]).st_ino, planted);
    EXPECT_EQ(aside[0].filename().string().size(), std::string("TarselVPN.untrusted-").size() + 16);
    EXPECT_EQ(read_file(aside[0] / "command.json"), R"({"action":"up","nonce":1})");
}

TEST_F(OwnedByNobody, DataDirRemadeWhileRunningIsSetAsideBeforeItsCommandRuns) {
    script = {
        [&] {
            fs::remove_all(data);
            fs::create_directory(data);
            command(R"({"action":"up","nonce":1})");
            give_to_nobody(data / "command.json");
            give_to_nobody(data);
        },
        [] {},
        [&] { command(R"({"action":"up","nonce":2})"); },
        [] {},
    };
    EXPECT_TRUE(run_loop());
    EXPECT_EQ(ran(), ups(1));
    EXPECT_EQ(set_aside().size(), 1u);
    EXPECT_EQ(stat_of(data).st_uid, 0u);
    EXPECT_EQ(result(), R"({"nonce":2,"ok":true})");
}

// A directory only a trusted account can have opened up is not moved; it is
// looked at again on each pass, and served once it is closed.
TEST_F(OwnedByNobody, DataDirOthersMayWriteIsRefusedUntilClosed) {
    ASSERT_EQ(::chmod(data.c_str(), 0777), 0);
    command(R"({"action":"up","nonce":1})");
    std::vector<Arguments> ran_while_open{up()};
    script = {
        [] {},
        [&] {
            ran_while_open = ran();
            ASSERT_EQ(::chmod(data.c_str(), 0755), 0);
        },
        [] {},
    };
    EXPECT_TRUE(run_loop());
    EXPECT_EQ(ran_while_open, std::vector<Arguments>{});
    EXPECT_TRUE(set_aside().empty());
    EXPECT_EQ(ran(), ups(1));
    EXPECT_EQ(result(), R"({"nonce":1,"ok":true})");
}

TEST_F(OwnedByNobody, ResultMadeFirstIsReplacedByTheHelpersOwn) {
    struct Case {
        const char* desc;
        uid_t owner;
        mode_t mode;
    };
    const Case cases[] = {
        {"nobody's, only nobody may write", 1, 0644},
        {"nobody's, anyone may write", 1, 0666},
        {"root's, anyone may write", 0, 0666},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.desc);
        fs::remove_all(data);
        fs::create_directories(data);
        fs::remove(helper_dir / "wireguard-standin.log");
        // The stand-in fails, so the answer nobody could fake ("ok":true)
        // is not the one the helper must write.
        set_standin_behaviour(helper_dir, {.exit_code = 1, .standard_error = "no tunnel", .standard_output = "", .sleep_ms = 0, .flood_bytes = 0});
        command(R"({"action":"up","nonce":7})");
        write_file(data / "result.json", "planted");
        ASSERT_EQ(::chmod((data / "result.json").c_str(), c.mode), 0);
        if (c.owner != 0) {
            give_to_nobody(data / "result.json");
        }
        const ino_t planted = stat_of(data / "result.json").st_ino;
        script = {[] {}};
        EXPECT_TRUE(run_loop());
        const struct stat written = stat_of(data / "result.json");
        EXPECT_NE(written.st_ino, planted) << "the helper wrote into the planted file";
        EXPECT_EQ(written.st_uid, 0u);
        EXPECT_EQ(written.st_mode & 0022, 0u);
        EXPECT_EQ(result(), R"({"nonce":7,"ok":false,"error":"no tunnel"})");
    }
}

// The helper's own result.json is reused as it is, as on every honest run.
TEST_F(OwnedByNobody, TheHelpersOwnResultIsRewrittenInPlace) {
    command(R"({"action":"up","nonce":1})");
    script = {
        [&] { command(R"({"action":"down","nonce":2})"); },
        [] {},
    };
    ino_t first = 0;
    after_action = [&] {
        if (fs::exists(data / "result.json")) {
            first = stat_of(data / "result.json").st_ino;
        }
    };
    EXPECT_TRUE(run_loop());
    EXPECT_NE(first, 0u);
    EXPECT_EQ(stat_of(data / "result.json").st_ino, first);
    EXPECT_EQ(result(), R"({"nonce":2,"ok":true})");
}

}  // namespace
