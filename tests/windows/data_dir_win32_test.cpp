// The Windows data directory rules, with the real environment calls.
#include <windows.h>

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "exchange/data_dir.h"
#include "platform/environment.h"

namespace {

using tarsel::platform::Path;

class ScopedProgramData {
  public:
    explicit ScopedProgramData(const std::optional<std::wstring>& value) {
        wchar_t buffer[4096];
        const DWORD n = ::GetEnvironmentVariableW(L"PROGRAMDATA", buffer, 4096);
        if (n > 0 && n < 4096)
            old_ = std::wstring(buffer, n);
        ::SetEnvironmentVariableW(L"PROGRAMDATA", value ? value->c_str() : nullptr);
    }
    ~ScopedProgramData() {
        ::SetEnvironmentVariableW(L"PROGRAMDATA", old_ ? old_->c_str() : nullptr);
    }

  private:
    std::optional<std::wstring> old_;
};

TEST(JoinPath, WindowsRule) {
    struct Row {
        const wchar_t* base;
        const wchar_t* expected;
    };
    const Row rows[] = {
        {L"C:\\ProgramData", L"C:\\ProgramData\\TarselVPN"},
        {L"C:\\ProgramData\\", L"C:\\ProgramData\\TarselVPN"},
        {L"C:/ProgramData/", L"C:/ProgramData/TarselVPN"},
        {L"C:", L"C:TarselVPN"},
        {L"", L"TarselVPN"},
        {L"\\\\server\\share", L"\\\\server\\share\\TarselVPN"},
        {L"C:\\Program Data", L"C:\\Program Data\\TarselVPN"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(row.base)));
        EXPECT_EQ(tarsel::platform::join_path(Path(row.base), "TarselVPN").native(), row.expected);
    }
}

TEST(DataDir, FollowsProgramData) {
    ScopedProgramData set(L"D:\\Data");
    EXPECT_EQ(tarsel::exchange::data_dir().native(), L"D:\\Data\\TarselVPN");
}

TEST(DataDir, EmptyProgramDataGivesTheRelativeDirectory) {
    ScopedProgramData set(L"");
    EXPECT_EQ(tarsel::exchange::data_dir().native(), L"TarselVPN");
}

TEST(DataDir, MissingOrInvalidProgramDataFallsBackToTheTempDirectory) {
    const auto temp = tarsel::platform::temp_directory();
    ASSERT_TRUE(temp.has_value());
    const auto expected = tarsel::platform::join_path(*temp, "TarselVPN").native();
    {
        ScopedProgramData unset(std::nullopt);
        EXPECT_EQ(tarsel::exchange::data_dir().native(), expected);
    }
    {
        // An unpaired high surrogate makes the value invalid UTF-16.
        ScopedProgramData invalid(std::wstring(L"C:\\Data") + wchar_t(0xD800));
        EXPECT_EQ(tarsel::exchange::data_dir().native(), expected);
    }
}

TEST(CreateDirectoryChain, CreatesEveryMissingLevel) {
    const auto temp = tarsel::platform::temp_directory();
    ASSERT_TRUE(temp.has_value());
    const Path root = tarsel::platform::join_path(
        *temp, "tarsel-chain-" + std::to_string(::GetCurrentProcessId()));
    const Path deep = tarsel::platform::join_path(tarsel::platform::join_path(root, "a"), "b");
    EXPECT_TRUE(tarsel::platform::create_directory_chain(deep).has_value());
    EXPECT_TRUE(tarsel::platform::create_directory_chain(deep).has_value()) << "existing is fine";
    EXPECT_TRUE(std::filesystem::is_directory(deep));
    std::filesystem::remove_all(root);
}

}  // namespace
