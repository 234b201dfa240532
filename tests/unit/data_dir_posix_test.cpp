#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>

#include "exchange/data_dir.h"

namespace {

// Sets or clears an environment variable for one test and restores it after.
class ScopedEnv {
  public:
    ScopedEnv(const char* name, std::optional<std::string> value) : name_(name) {
        if (const char* old = std::getenv(name))
            old_ = old;
        if (value) {
            ::setenv(name, value->c_str(), 1);
        } else {
            ::unsetenv(name);
        }
    }
    ~ScopedEnv() {
        if (old_) {
            ::setenv(name_, old_->c_str(), 1);
        } else {
            ::unsetenv(name_);
        }
    }

  private:
    const char* name_;
    std::optional<std::string> old_;
};

TEST(DataDir, ProgramDataThenTmpdirThenTmp) {
    struct Row {
        const char* desc;
        std::optional<std::string> program_data;
        std::optional<std::string> tmpdir;
        std::string expected;
    };
    const Row rows[] = {
        {"PROGRAMDATA wins", "/srv/data", "/var/tmp", "/srv/data/TarselVPN"},
        {"trailing slash not doubled", "/srv/data/", std::nullopt, "/srv/data/TarselVPN"},
        {"empty PROGRAMDATA counts as set", "", "/var/tmp", "TarselVPN"},
        {"TMPDIR without PROGRAMDATA", std::nullopt, "/var/tmp", "/var/tmp/TarselVPN"},
        {"neither", std::nullopt, std::nullopt, "/tmp/TarselVPN"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.desc);
        ScopedEnv program_data("PROGRAMDATA", row.program_data);
        ScopedEnv tmpdir("TMPDIR", row.tmpdir);
        EXPECT_EQ(tarsel::exchange::data_dir().native(), row.expected);
    }
}

}  // namespace
