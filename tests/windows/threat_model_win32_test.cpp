// What only Windows can show: how it spells final paths, and named pipes in
// place of the documents. Hard links and directories in place of the files
// are staged for real in threat_model_test.cpp; junctions and object-manager
// links cannot be made under Wine, and their facts are fed to the rules there.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>

#include "platform/file_trust.h"
#include "platform/files.h"

namespace {

using tarsel::platform::ObjectKind;
using tarsel::platform::OpenedObject;
using tarsel::platform::Path;

TEST(SameFileSystemPath, WindowsSpellingsOfOnePlace) {
    struct Row {
        const char* desc;
        const wchar_t* a;
        const wchar_t* b;
        bool same;
    };
    const Row rows[] = {
        {"final path with \\\\?\\", L"\\\\?\\C:\\ProgramData\\TarselVPN\\result.json",
         L"C:\\ProgramData\\TarselVPN\\result.json", true},
        {"case differs", L"\\\\?\\C:\\PROGRAMDATA\\tarselvpn", L"c:\\ProgramData\\TarselVPN", true},
        {"case differs beyond ASCII", L"C:\\Donn\u00e9es\\TarselVPN",
         L"C:\\DONN\u00c9ES\\TarselVPN", true},
        {"share", L"\\\\?\\UNC\\server\\share\\TarselVPN", L"\\\\server\\share\\TarselVPN", true},
        {"trailing separator", L"C:\\ProgramData\\TarselVPN\\", L"C:\\ProgramData\\TarselVPN",
         true},
        {"forward slashes", L"C:/ProgramData/TarselVPN", L"C:\\ProgramData\\TarselVPN", true},
        {"another drive", L"\\\\?\\D:\\ProgramData\\TarselVPN", L"C:\\ProgramData\\TarselVPN",
         false},
        {"a longer name", L"C:\\ProgramData\\TarselVPN2", L"C:\\ProgramData\\TarselVPN", false},
        {"a directory instead of the file", L"\\\\?\\C:\\ProgramData\\TarselVPN",
         L"C:\\ProgramData\\TarselVPN\\result.json", false},
        {"a volume, not a path", L"\\\\?\\Volume{00000000-0000-0000-0000-000000000000}\\x",
         L"C:\\x", false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.desc);
        EXPECT_EQ(tarsel::platform::same_file_system_path(Path(row.a), Path(row.b)), row.same);
    }
}

// What a junction or object-manager link would make a handle report.
TEST(FileTrust, RedirectionsOnlyWindowsCanMake) {
    const Path data = L"C:\\ProgramData\\TarselVPN";
    const Path result = L"C:\\ProgramData\\TarselVPN\\result.json";
    struct Row {
        const char* desc;
        OpenedObject object;
        bool writable;
    };
    const Row rows[] = {
        {"the system's own spelling of the right place",
         {ObjectKind::regular_file, false, 1,
          Path(L"\\\\?\\C:\\ProgramData\\TarselVPN\\result.json")},
         true},
        {"data_dir a junction to System32",
         {ObjectKind::regular_file, false, 1, Path(L"\\\\?\\C:\\Windows\\System32\\result.json")},
         false},
        {"result.json an object-manager link to a file elsewhere",
         {ObjectKind::regular_file, false, 1, Path(L"\\\\?\\C:\\Windows\\win.ini")},
         false},
        {"result.json a symbolic link opened as itself",
         {ObjectKind::regular_file, true, 1,
          Path(L"\\\\?\\C:\\ProgramData\\TarselVPN\\result.json")},
         false},
        {"result.json leading to a named pipe", {ObjectKind::other, false, 0, std::nullopt}, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.desc);
        EXPECT_EQ(tarsel::platform::is_plain_file_only_at(row.object, result), row.writable);
    }
    EXPECT_FALSE(tarsel::platform::is_real_directory_at(
        {ObjectKind::directory, true, 1, Path(L"\\\\?\\C:\\ProgramData\\TarselVPN")}, data))
        << "a junction opened as itself";
    EXPECT_FALSE(tarsel::platform::is_real_directory_at(
        {ObjectKind::directory, false, 1, Path(L"\\\\?\\C:\\Windows\\System32")}, data))
        << "a junction followed";
}

// A user's named pipe server in place of a document: the helper neither reads
// from it (which could block the loop for good) nor writes into it.
class NamedPipeInPlace : public ::testing::Test {
  protected:
    std::wstring name = L"\\\\.\\pipe\\tarsel-threat-" + std::to_wstring(::GetCurrentProcessId());
    HANDLE server = INVALID_HANDLE_VALUE;

    void SetUp() override {
        server = ::CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE | PIPE_WAIT, 1,
                                    4096, 4096, 0, nullptr);
        ASSERT_NE(server, INVALID_HANDLE_VALUE) << ::GetLastError();
    }
    void TearDown() override { ::CloseHandle(server); }

    // Runs `call` with a time limit; a call stuck reading the pipe is freed by
    // cutting the connection.
    template <class Call>
    bool returns_in_time(Call call) {
        auto done = std::async(std::launch::async, call);
        if (done.wait_for(std::chrono::seconds(20)) == std::future_status::ready) {
            return true;
        }
        ::DisconnectNamedPipe(server);
        done.wait();
        return false;
    }

    // The bytes the client sent before it went away.
    std::string received() {
        std::string bytes;
        char buffer[256];
        DWORD n = 0;
        while (::ReadFile(server, buffer, sizeof buffer, &n, nullptr) && n > 0) {
            bytes.append(buffer, n);
        }
        return bytes;
    }
};

TEST_F(NamedPipeInPlace, IsNeverReadAsACommand) {
    std::optional<tarsel::platform::ReadFailure> failure;
    EXPECT_TRUE(returns_in_time([&] {
        auto read = tarsel::platform::read_whole_file(Path(name), 1 << 20);
        if (!read) {
            failure = read.error();
        }
    })) << "the read blocked on the pipe";
    EXPECT_EQ(failure, tarsel::platform::ReadFailure::not_a_plain_file);
}

TEST_F(NamedPipeInPlace, IsNeverWrittenAsAResult) {
    std::optional<tarsel::platform::WriteFailure> failure;
    EXPECT_TRUE(returns_in_time([&] {
        auto written =
            tarsel::platform::replace_file_content(Path(name), R"({"nonce":1,"ok":true})");
        if (!written) {
            failure = written.error();
        }
    }));
    EXPECT_EQ(failure, tarsel::platform::WriteFailure::not_a_private_file);
    EXPECT_EQ(received(), "");
}

}  // namespace
