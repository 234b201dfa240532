// What only a real Windows machine can answer: what a standard user may do to
// the data directory, result.json and the wireguard.exe pipes the helper
// made, and that an oplock another client holds and never lets go of does not
// stop the loop. Wine runs every process as one user, ignores the security
// descriptors it is given, checks no access and has no oplocks, so under Wine
// every case here reports itself skipped. The standard-user cases create and
// delete a local account, so they also skip on a prompt that is not elevated.
#include <aclapi.h>
#include <lm.h>
#include <sddl.h>
#include <windows.h>
#include <winioctl.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <future>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "exchange/runner.h"
#include "platform/files.h"
#include "platform/ownership_trust.h"
#include "platform/system_random.h"
#include "platform/unique_handle.h"
#include "support/loop_harness.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
namespace exchange = tarsel::exchange;
namespace platform = tarsel::platform;
namespace support = tarsel::testing;

struct FileTraits {
    using Value = HANDLE;
    static Value invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void close(Value handle) noexcept { ::CloseHandle(handle); }
};
struct KernelObjectTraits {
    using Value = HANDLE;
    static Value invalid() noexcept { return nullptr; }
    static void close(Value handle) noexcept { ::CloseHandle(handle); }
};
using File = platform::UniqueHandle<FileTraits>;
using KernelObject = platform::UniqueHandle<KernelObjectTraits>;

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr const char* kNeedsRealWindows =
    "needs real Windows: Wine ignores security descriptors / has no oplocks";

bool under_wine() {
    static const bool wine = [] {
        const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
        return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
    }();
    return wine;
}

KernelObject own_token() {
    HANDLE token = nullptr;
    return KernelObject(::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token) ? token
                                                                                       : nullptr);
}

bool elevated() {
    const KernelObject token = own_token();
    TOKEN_ELEVATION elevation{};
    DWORD size = 0;
    return token &&
           ::GetTokenInformation(token.get(), TokenElevation, &elevation, sizeof elevation,
                                 &size) &&
           elevation.TokenIsElevated != 0;
}

std::optional<std::string> sid_text(PSID sid) {
    LPSTR text = nullptr;
    if (sid == nullptr || !::ConvertSidToStringSidA(sid, &text)) {
        return std::nullopt;
    }
    std::string copy(text);
    ::LocalFree(text);
    return copy;
}

std::optional<std::string> token_user(HANDLE token) {
    alignas(TOKEN_USER) unsigned char buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    DWORD size = 0;
    if (!::GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &size)) {
        return std::nullopt;
    }
    return sid_text(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid);
}

// The owner of whatever `path` names, itself and not what a link leads to.
std::optional<std::string> owner_of(const fs::path& path) {
    const File object(::CreateFileW(path.c_str(), READ_CONTROL, kShareAll, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                    nullptr));
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!object ||
        ::GetSecurityInfo(object.get(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr,
                          nullptr, nullptr, &descriptor) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    auto text = sid_text(owner);
    ::LocalFree(descriptor);
    return text;
}

// ERROR_SUCCESS when `path` opens (created when `disposition` says so) with
// `access`, or the error that refused it. Never through a link at its end.
DWORD open_error(const fs::path& path, DWORD access, DWORD disposition = OPEN_EXISTING) {
    const File file(::CreateFileW(path.c_str(), access, kShareAll, nullptr, disposition,
                                  FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                  nullptr));
    return file ? ERROR_SUCCESS : ::GetLastError();
}

DWORD error_of(BOOL succeeded) {
    return succeeded ? ERROR_SUCCESS : ::GetLastError();
}

// Writes `bytes` as the whole of a new or existing file: ERROR_SUCCESS or the
// error of the step that failed.
DWORD write_error(const fs::path& path, std::string_view bytes) {
    const File file(::CreateFileW(path.c_str(), GENERIC_WRITE, kShareAll, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        return ::GetLastError();
    }
    DWORD written = 0;
    return error_of(
        ::WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
}

// How an attempt made while a user holds something it needs went: whether it
// returned within kNeverWaitedFor (waiting would be for as long as they
// like), and whether it succeeded.
struct HeldAttempt {
    bool returned;
    bool succeeded;
};
constexpr auto kNeverWaitedFor = std::chrono::seconds(2);

// Runs `attempt` on a thread of its own and waits for it at most
// kNeverWaitedFor; then `let_go` ends the hold, so that an attempt that does
// wait still ends, and its result is taken.
template <class Attempt, class LetGo>
HeldAttempt attempt_while_held(Attempt attempt, LetGo let_go) {
    auto running = std::async(std::launch::async, std::move(attempt));
    const bool returned = running.wait_for(kNeverWaitedFor) == std::future_status::ready;
    let_go();
    return {returned, running.get()};
}

std::string random_hex(std::size_t bytes) {
    auto hex = platform::system_random_hex(bytes);
    return hex ? *hex : std::string();
}

std::wstring widened(std::string_view ascii) {
    return std::wstring(ascii.begin(), ascii.end());
}

constexpr std::string_view kForged = R"({"nonce":7,"ok":true})";
constexpr std::string_view kRealOutcome =
    R"({"nonce":7,"ok":false,"error":"wireguard.exe not found next to helper"})";

class RealWindows : public ::testing::Test {
  protected:
    void SetUp() override {
        if (under_wine()) {
            GTEST_SKIP() << kNeedsRealWindows;
        }
    }
};

// A local account that belongs to Users and nothing more, made for one test
// and deleted after it, and a fresh base under %ProgramData% that inherits
// ProgramData's ACL (Users may add files and folders, not delete or
// re-permission them), with data_dir inside it as the helper would have it.
// The test program itself plays the helper: it runs elevated, so its token
// user is an administrator whose objects the trust rule accepts.
class AsStandardUser : public RealWindows {
  protected:
    void SetUp() override {
        RealWindows::SetUp();
        if (IsSkipped()) {
            return;
        }
        if (!elevated()) {
            GTEST_SKIP() << "needs an elevated prompt: the test creates and deletes a local user";
        }
        const KernelObject self = own_token();
        ASSERT_TRUE(self);
        const auto self_sid = token_user(self.get());
        ASSERT_TRUE(self_sid);
        helper_sid_ = *self_sid;
        create_user();
        if (HasFatalFailure()) {
            return;
        }
        wchar_t program_data[MAX_PATH];
        const DWORD length = ::GetEnvironmentVariableW(L"PROGRAMDATA", program_data, MAX_PATH);
        ASSERT_TRUE(length > 0 && length < MAX_PATH);
        base_ = fs::path(program_data) / widened("tarsel-acl-test-" + random_hex(8));
        ASSERT_TRUE(::CreateDirectoryW(base_.c_str(), nullptr)) << ::GetLastError();
        data_ = base_ / L"TarselVPN";
    }

    void TearDown() override {
        user_token_.reset();
        if (!user_name_.empty()) {
            EXPECT_EQ(::NetUserDel(nullptr, user_name_.c_str()), NERR_Success)
                << "the test user " << fs::path(user_name_).string() << " is left behind";
        }
        if (!base_.empty()) {
            std::error_code ignored;
            fs::remove_all(base_, ignored);
        }
    }

    // Runs `action` on a thread of its own that acts as the standard user
    // while it runs; the test's own thread never changes who it is. Nothing
    // when the thread could not take the user's identity.
    template <class Action>
    auto as_user(Action action) const -> std::optional<decltype(action())> {
        std::optional<decltype(action())> result;
        std::thread([&] {
            if (!::ImpersonateLoggedOnUser(user_token_.get())) {
                return;
            }
            struct Revert {
                ~Revert() { ::RevertToSelf(); }
            } revert;
            result = action();
        }).join();
        return result;
    }

    // The helper's way of making data_dir and answering in it.
    void helper_makes_data_dir_with_a_result() {
        ASSERT_TRUE(platform::prepare_data_directory(data_));
        ASSERT_TRUE(platform::replace_file_content(data_ / L"result.json", kRealOutcome));
    }

    // Owned by an account the trust rule accepts, and not by the user.
    void expect_helper_owns(const fs::path& path) const {
        const auto owner = owner_of(path);
        ASSERT_TRUE(owner) << path.string();
        EXPECT_NE(*owner, user_sid_) << path.string();
        EXPECT_TRUE(platform::is_trusted_account(*owner, helper_sid_))
            << path.string() << " is owned by " << *owner;
    }

    fs::path base_;
    fs::path data_;
    std::string helper_sid_;
    std::string user_sid_;

  private:
    void create_user() {
        const std::wstring name = widened("tarsel" + random_hex(6));
        // Upper and lower case, digits and a symbol, far past any length rule.
        std::wstring password = widened("Tz-" + random_hex(16) + "#Q7");
        ASSERT_EQ(name.size(), 18u) << "no random source";
        USER_INFO_1 info{};
        info.usri1_name = const_cast<wchar_t*>(name.c_str());
        info.usri1_password = password.data();
        info.usri1_priv = USER_PRIV_USER;
        info.usri1_flags = UF_SCRIPT | UF_DONT_EXPIRE_PASSWD | UF_NORMAL_ACCOUNT;
        DWORD bad_field = 0;
        const NET_API_STATUS added =
            ::NetUserAdd(nullptr, 1, reinterpret_cast<LPBYTE>(&info), &bad_field);
        ASSERT_EQ(added, NERR_Success) << "NetUserAdd, field " << bad_field;
        user_name_ = name;
        // An interactive logon is what a client's user has. Where policy
        // refuses it to a new local account, a network logon serves as well:
        // both tokens carry Users, which is what the ACLs here speak of.
        HANDLE token = nullptr;
        DWORD interactive_error = ERROR_SUCCESS;
        if (!::LogonUserW(name.c_str(), L".", password.c_str(), LOGON32_LOGON_INTERACTIVE,
                          LOGON32_PROVIDER_DEFAULT, &token)) {
            interactive_error = ::GetLastError();
            if (!::LogonUserW(name.c_str(), L".", password.c_str(), LOGON32_LOGON_NETWORK,
                              LOGON32_PROVIDER_DEFAULT, &token)) {
                FAIL() << "LogonUserW: interactive " << interactive_error << ", network "
                       << ::GetLastError();
            }
        }
        ::SecureZeroMemory(password.data(), password.size() * sizeof(wchar_t));
        user_token_.reset(token);
        const auto sid = token_user(token);
        ASSERT_TRUE(sid);
        user_sid_ = *sid;
    }

    std::wstring user_name_;
    KernelObject user_token_;
};

// What the helper made stays the helper's: the user can neither take,
// move, re-permission nor empty data_dir, nor write, delete or re-permission
// result.json. What a client needs still works: the user reads result.json
// and writes command.json, and the helper reads that command.
TEST_F(AsStandardUser, CannotTakeMoveOrRewriteWhatTheHelperMade) {
    helper_makes_data_dir_with_a_result();
    const fs::path result = data_ / L"result.json";
    struct Row {
        const char* what;
        fs::path path;
        DWORD access;
    };
    const Row rows[] = {
        {"delete or rename data_dir", data_, DELETE},
        {"re-permission data_dir", data_, WRITE_DAC},
        {"take data_dir", data_, WRITE_OWNER},
        {"delete entries of data_dir", data_, FILE_DELETE_CHILD},
        {"write result.json", result, FILE_WRITE_DATA},
        {"append to result.json", result, FILE_APPEND_DATA},
        {"delete or rename result.json", result, DELETE},
        {"re-permission result.json", result, WRITE_DAC},
        {"take result.json", result, WRITE_OWNER},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        const auto error = as_user([&] { return open_error(row.path, row.access); });
        ASSERT_TRUE(error) << "cannot act as the user";
        EXPECT_EQ(*error, static_cast<DWORD>(ERROR_ACCESS_DENIED));
    }
    // The whole operations, as a user would try them.
    const auto moved = as_user(
        [&] { return error_of(::MoveFileExW(data_.c_str(), (base_ / L"elsewhere").c_str(), 0)); });
    EXPECT_EQ(moved, static_cast<DWORD>(ERROR_ACCESS_DENIED)) << "rename data_dir";
    const auto deleted = as_user([&] { return error_of(::DeleteFileW(result.c_str())); });
    EXPECT_EQ(deleted, static_cast<DWORD>(ERROR_ACCESS_DENIED)) << "delete result.json";
    EXPECT_TRUE(platform::is_unredirected_directory(data_));
    EXPECT_EQ(support::read_file(result), kRealOutcome);

    const auto reads = as_user([&] { return open_error(result, GENERIC_READ); });
    EXPECT_EQ(reads, static_cast<DWORD>(ERROR_SUCCESS)) << "the client reads result.json";
    constexpr std::string_view kCommand = R"({"action":"up","nonce":8})";
    const auto writes = as_user([&] { return write_error(data_ / L"command.json", kCommand); });
    EXPECT_EQ(writes, static_cast<DWORD>(ERROR_SUCCESS)) << "the client writes command.json";
    EXPECT_EQ(platform::read_whole_file(data_ / L"command.json", 4096).value_or(std::string()),
              kCommand);
}

// A data_dir the user made before the helper's first start is theirs: the
// trust rule refuses it, and the helper moves it aside, with what the user
// planted in it, and serves a directory of its own.
TEST_F(AsStandardUser, DataDirectoryTheUserMadeFirstIsSetAside) {
    const auto planted = as_user([&] {
        if (!::CreateDirectoryW(data_.c_str(), nullptr)) {
            return ::GetLastError();
        }
        return write_error(data_ / L"result.json", kForged);
    });
    ASSERT_EQ(planted, static_cast<DWORD>(ERROR_SUCCESS)) << "Users may make folders here";
    ASSERT_EQ(owner_of(data_), user_sid_);
    EXPECT_FALSE(platform::is_unredirected_directory(data_));

    ASSERT_TRUE(platform::prepare_data_directory(data_));
    expect_helper_owns(data_);
    EXPECT_TRUE(platform::is_unredirected_directory(data_));
    EXPECT_FALSE(fs::exists(data_ / L"result.json"))
        << "the user's file moved with their directory";
    std::vector<fs::path> set_aside;
    for (const auto& entry : fs::directory_iterator(base_)) {
        if (entry.path().filename().wstring().starts_with(L"TarselVPN.untrusted-")) {
            set_aside.push_back(entry.path());
        }
    }
    ASSERT_EQ(set_aside.size(), 1u);
    EXPECT_EQ(owner_of(set_aside[0]), user_sid_);
    EXPECT_EQ(support::read_file(set_aside[0] / L"result.json"), kForged);

    // The fresh directory is the helper's like any other.
    ASSERT_TRUE(platform::replace_file_content(data_ / L"result.json", kRealOutcome));
    expect_helper_owns(data_ / L"result.json");
    const auto rewrite =
        as_user([&] { return open_error(data_ / L"result.json", FILE_WRITE_DATA); });
    EXPECT_EQ(rewrite, static_cast<DWORD>(ERROR_ACCESS_DENIED));
    const auto moved = as_user(
        [&] { return error_of(::MoveFileExW(data_.c_str(), (base_ / L"elsewhere").c_str(), 0)); });
    EXPECT_EQ(moved, static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

// A user who keeps a handle without delete sharing on the directory they
// made first keeps it from being moved aside while they hold it. The helper
// does not wait for them and serves nothing meanwhile: each try returns at
// once, refused, and the first try after they let go sets it aside.
TEST_F(AsStandardUser, DataDirectoryTheUserHoldsOpenIsRefusedUntilLetGo) {
    auto held = as_user([&] {
        File directory;
        if (::CreateDirectoryW(data_.c_str(), nullptr)) {
            directory.reset(::CreateFileW(data_.c_str(), FILE_LIST_DIRECTORY,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                          OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
        }
        return directory;
    });
    ASSERT_TRUE(held && *held) << "Users may make folders here";
    const HeldAttempt attempt = attempt_while_held(
        [&] { return platform::prepare_data_directory(data_); }, [&] { held->reset(); });
    EXPECT_TRUE(attempt.returned) << "setting the directory aside waited for the user's handle";
    EXPECT_FALSE(attempt.succeeded) << "served a directory the user owns";
    EXPECT_EQ(owner_of(data_), user_sid_);
    ASSERT_TRUE(platform::prepare_data_directory(data_));
    expect_helper_owns(data_);
}

// A result.json the user made first, in the helper's own data_dir, is never
// written into: the helper deletes it and answers in a new file of its own.
// The user keeps a handle open on their file, as an attacker would to write
// after the helper. With delete sharing, the name goes at once (POSIX delete,
// Windows 10 1709 and later) and the write through the old handle reaches the
// deleted file only. Without it the name cannot be taken away, and the
// helper's write fails rather than go into the user's file.
TEST_F(AsStandardUser, ResultJsonTheUserMadeFirstIsReplaced) {
    struct Row {
        const char* what;
        DWORD user_sharing;
        bool replaced;
    };
    const Row rows[] = {
        {"held open with delete sharing", kShareAll, true},
        {"held open without delete sharing", FILE_SHARE_READ | FILE_SHARE_WRITE, false},
    };
    ASSERT_TRUE(platform::prepare_data_directory(data_));
    const fs::path result = data_ / L"result.json";
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        std::error_code ignored;
        fs::remove(result, ignored);
        auto held = as_user([&] {
            File file(::CreateFileW(result.c_str(), GENERIC_READ | GENERIC_WRITE, row.user_sharing,
                                    nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
            DWORD written = 0;
            if (file &&
                !::WriteFile(file.get(), kForged.data(), kForged.size(), &written, nullptr)) {
                file.reset();
            }
            return file;
        });
        ASSERT_TRUE(held && *held) << "Users may add files to data_dir";
        ASSERT_EQ(owner_of(result), user_sid_);

        const auto answered = platform::replace_file_content(result, kRealOutcome);
        // Written through the handle the user kept, after the helper.
        DWORD written = 0;
        ::SetFilePointer(held->get(), 0, nullptr, FILE_BEGIN);
        (void)::WriteFile(held->get(), kForged.data(), kForged.size(), &written, nullptr);
        held->reset();
        if (row.replaced) {
            EXPECT_TRUE(answered);
            EXPECT_EQ(support::read_file(result), kRealOutcome);
            expect_helper_owns(result);
            const auto rewrite = as_user([&] { return open_error(result, FILE_WRITE_DATA); });
            EXPECT_EQ(rewrite, static_cast<DWORD>(ERROR_ACCESS_DENIED));
        } else {
            EXPECT_FALSE(answered);
            EXPECT_EQ(support::read_file(result), kForged) << "nothing of the helper's in it";
            EXPECT_EQ(owner_of(result), user_sid_);
        }
    }
}

// The names of the helper's pipes that exist at this moment.
std::set<std::wstring> helper_pipe_names() {
    std::set<std::wstring> names;
    WIN32_FIND_DATAW entry{};
    const HANDLE search = ::FindFirstFileW(L"\\\\.\\pipe\\*", &entry);
    if (search == INVALID_HANDLE_VALUE) {
        return names;
    }
    do {
        const std::wstring name = entry.cFileName;
        if (name.starts_with(L"tarsel-helper-")) {
            names.insert(name);
        }
    } while (::FindNextFileW(search, &entry));
    ::FindClose(search);
    return names;
}

// Opens the client's end of a pipe as the child's is opened: for writing,
// the pipes being inbound to the helper. The pipe's DACL is checked before a
// free instance is looked for, so a refused user hears access denied, and an
// admitted one finds the single instance already taken.
DWORD pipe_open_error(const std::wstring& path) {
    const File pipe(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    return pipe ? ERROR_SUCCESS : ::GetLastError();
}

bool is_hex(std::wstring_view text) {
    return text.find_first_not_of(L"0123456789abcdef") == std::wstring_view::npos;
}

// While wireguard.exe runs, its two pipes exist under names of 128 random
// bits, and their DACL admits the helper's own user only: the standard user is
// refused, by every name that appeared meanwhile.
TEST_F(AsStandardUser, CannotOpenTheChildsPipes) {
    support::TempDir temp;
    const fs::path helper_dir = temp.path() / "helper";
    support::StandinBehaviour gated;
    gated.release_cap_ms = 60'000;
    support::install_standin(helper_dir, gated);
    const std::set<std::wstring> before = helper_pipe_names();
    auto action = std::async(std::launch::async, [&] {
        return exchange::run_tunnel_action(
            "down",
            exchange::RunnerContext{helper_dir / "tarsel-helper.exe", temp.path() / "data"});
    });
    struct Release {
        const fs::path& directory;
        ~Release() { support::release_standin(directory); }
    } release{helper_dir};
    ASSERT_TRUE(support::LoopHarness::wait_until(
        [&] { return support::standin_runs(helper_dir).size() == 1; }, std::chrono::seconds(30)));

    std::vector<std::wstring> pipes;
    for (const std::wstring& name : helper_pipe_names()) {
        if (!before.contains(name)) {
            pipes.push_back(name);
        }
    }
    ASSERT_EQ(pipes.size(), 2u) << "standard output and standard error";
    for (const std::wstring& name : pipes) {
        const std::wstring_view suffix = std::wstring_view(name).substr(14);
        EXPECT_EQ(suffix.size(), 32u) << "128 random bits";
        EXPECT_TRUE(is_hex(suffix));
        const std::wstring path = L"\\\\.\\pipe\\" + name;
        EXPECT_EQ(pipe_open_error(path), static_cast<DWORD>(ERROR_PIPE_BUSY))
            << "the helper's user is let in, and finds the one instance taken";
        const auto error = as_user([&] { return pipe_open_error(path); });
        EXPECT_EQ(error, static_cast<DWORD>(ERROR_ACCESS_DENIED));
    }
    support::release_standin(helper_dir);
    ASSERT_EQ(action.wait_for(std::chrono::seconds(30)), std::future_status::ready);
    EXPECT_TRUE(action.get().has_value());
}

// An oplock whose break is never acknowledged, as a hostile client would hold
// it: a batch oplock on a file, or a read-handle one on a directory (the
// strongest a directory takes). The break request just sits until release(),
// which closes the handle and so ends the oplock.
class UnacknowledgedOplock {
  public:
    enum class On { file, directory };

    explicit UnacknowledgedOplock(const fs::path& path, On on = On::file)
        : event_(::CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
        const DWORD flags =
            FILE_FLAG_OVERLAPPED | (on == On::directory ? FILE_FLAG_BACKUP_SEMANTICS : 0);
        // Right after a write another handle (an indexer, a virus scanner)
        // may still be open on the file, and an oplock is only granted to
        // the one open: a moment later it is.
        for (int attempt = 0; attempt < 100 && event_; ++attempt) {
            file_.reset(::CreateFileW(path.c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                                      flags, nullptr));
            overlapped_ = {};
            overlapped_.hEvent = event_.get();
            if (file_ && !request(on)) {
                error_ = ::GetLastError();
                if (error_ == ERROR_IO_PENDING) {
                    return;
                }
            } else if (!file_) {
                error_ = ::GetLastError();
            }
            file_.reset();
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    UnacknowledgedOplock(const UnacknowledgedOplock&) = delete;
    UnacknowledgedOplock& operator=(const UnacknowledgedOplock&) = delete;
    ~UnacknowledgedOplock() { release(); }

    [[nodiscard]] bool granted() const { return file_.valid(); }
    [[nodiscard]] DWORD error() const { return error_; }
    // Someone's open met the oplock, and the system asks the holder to let
    // go. The request completes on the thread that made it, the test's own,
    // a moment after the open that broke it returned: hence the wait.
    [[nodiscard]] bool break_requested() const {
        return ::WaitForSingleObject(event_.get(), 2000) == WAIT_OBJECT_0;
    }
    // The request completes as the handle closes; the OVERLAPPED it writes
    // must live until then.
    void release() {
        if (file_) {
            file_.reset();
            (void)::WaitForSingleObject(event_.get(), 5000);
        }
    }

  private:
    // False with ERROR_IO_PENDING when the oplock is granted.
    bool request(On on) {
        if (on == On::file) {
            return ::DeviceIoControl(file_.get(), FSCTL_REQUEST_BATCH_OPLOCK, nullptr, 0, nullptr,
                                     0, nullptr, &overlapped_) != 0;
        }
        input_ = {};
        input_.StructureVersion = REQUEST_OPLOCK_CURRENT_VERSION;
        input_.StructureLength = sizeof input_;
        input_.RequestedOplockLevel = OPLOCK_LEVEL_CACHE_READ | OPLOCK_LEVEL_CACHE_HANDLE;
        input_.Flags = REQUEST_OPLOCK_INPUT_FLAG_REQUEST;
        output_ = {};
        output_.StructureVersion = REQUEST_OPLOCK_CURRENT_VERSION;
        output_.StructureLength = sizeof output_;
        return ::DeviceIoControl(file_.get(), FSCTL_REQUEST_OPLOCK, &input_, sizeof input_,
                                 &output_, sizeof output_, nullptr, &overlapped_) != 0;
    }

    KernelObject event_;
    File file_;
    OVERLAPPED overlapped_{};
    // The system writes the break's level into output_ when it comes.
    REQUEST_OPLOCK_INPUT_BUFFER input_{};
    REQUEST_OPLOCK_OUTPUT_BUFFER output_{};
    DWORD error_ = ERROR_SUCCESS;
};

using Oplock = RealWindows;

// Every pass opens command.json without waiting on an oplock: while the
// break is pending the pass finds no command and the loop goes on; once the
// holder lets go the command is read and answered, once.
TEST_F(Oplock, PassGoesOnWhileCommandJsonIsOplocked) {
    support::LoopHarness harness;
    harness.reset();
    harness.command(R"({"action":"up","nonce":1})");
    UnacknowledgedOplock oplock(harness.data / "command.json");
    ASSERT_TRUE(oplock.granted()) << "FSCTL_REQUEST_BATCH_OPLOCK: " << oplock.error();
    bool met_the_oplock = false;
    std::size_t runs_while_held = 0;
    const bool returned = harness.run_script(
        {
            [] {},
            [&] { met_the_oplock = oplock.break_requested(); },
            [&] {
                runs_while_held = harness.ran().size();
                oplock.release();
            },
            [] {},
        },
        [&] { oplock.release(); }, std::chrono::seconds(20));
    EXPECT_TRUE(returned) << "a pass waited for the oplock's break";
    EXPECT_TRUE(met_the_oplock) << "no pass opened command.json";
    EXPECT_EQ(runs_while_held, 0u);
    EXPECT_EQ(harness.ran(), (std::vector<support::LoopHarness::Arguments>{harness.up()}));
    EXPECT_EQ(harness.result(), R"({"nonce":1,"ok":true})");
}

// The helper's open of either document meets the oplock and returns at once
// (2 s is the bound; waiting would be for ever), counting as failed: no
// command this pass, or a failed write. The file stays as it was.
TEST_F(Oplock, DocumentOpensReturnAtOnceAndCountAsFailed) {
    struct Row {
        const char* name;
        std::function<bool(const fs::path&)> succeeds;
    };
    const Row rows[] = {
        {"command.json",
         [](const fs::path& path) {
             platform::RepeatedFileReader reader(path, 4096);
             return reader.read().has_value();
         }},
        {"result.json",
         [](const fs::path& path) {
             return platform::replace_file_content(path, kForged).has_value();
         }},
    };
    support::TempDir temp;
    const fs::path data = temp.path() / "TarselVPN";
    ASSERT_TRUE(platform::prepare_data_directory(data));
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const fs::path path = data / row.name;
        ASSERT_TRUE(platform::replace_file_content(path, kRealOutcome));
        UnacknowledgedOplock oplock(path);
        ASSERT_TRUE(oplock.granted()) << "FSCTL_REQUEST_BATCH_OPLOCK: " << oplock.error();
        const HeldAttempt attempt =
            attempt_while_held([&] { return row.succeeds(path); }, [&] {
                EXPECT_TRUE(oplock.break_requested()) << "the open never met the oplock";
                oplock.release();
            });
        EXPECT_TRUE(attempt.returned) << "the open waited for the oplock's break";
        EXPECT_FALSE(attempt.succeeded);
        EXPECT_EQ(support::read_file(path), kRealOutcome);
    }
}

// A user who put a file where data_dir belongs and holds a batch oplock on it
// that they never let go of: every open of that name but one for attributes
// alone would wait for them. The check and the move aside each return at
// once instead, and once they let go the file is set aside and the helper
// serves a directory of its own.
TEST_F(AsStandardUser, FileTheUserPutInDataDirsPlaceWithAnOplockIsNotWaitedFor) {
    const auto made = as_user([&] {
        const File file(::CreateFileW(data_.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
        return file ? static_cast<DWORD>(ERROR_SUCCESS) : ::GetLastError();
    });
    ASSERT_EQ(made, static_cast<DWORD>(ERROR_SUCCESS)) << "Users may add files here";
    UnacknowledgedOplock oplock(data_);
    ASSERT_TRUE(oplock.granted()) << "FSCTL_REQUEST_BATCH_OPLOCK: " << oplock.error();
    const HeldAttempt attempt =
        attempt_while_held([&] { return platform::prepare_data_directory(data_); }, [&] {
            EXPECT_TRUE(oplock.break_requested()) << "no open met the oplock";
            oplock.release();
        });
    EXPECT_TRUE(attempt.returned) << "the check or the move waited for the oplock's break";
    EXPECT_FALSE(attempt.succeeded) << "served while the user's file held the name";
    ASSERT_TRUE(platform::prepare_data_directory(data_));
    expect_helper_owns(data_);
    EXPECT_TRUE(fs::is_directory(data_));
}

// A user who made data_dir first and holds a read-handle oplock on it that
// they never let go of: renaming it breaks the oplock's handle caching, and
// the helper must not wait for the user to acknowledge the break. Each try
// returns at once, and once they let go the directory is set aside and the
// helper serves its own. (Whether the rename itself waits for the break is
// what this case finds out on a real machine.)
TEST_F(AsStandardUser, DataDirectoryTheUserHoldsAnOplockOnIsNotWaitedFor) {
    const auto made = as_user([&] { return error_of(::CreateDirectoryW(data_.c_str(), nullptr)); });
    ASSERT_EQ(made, static_cast<DWORD>(ERROR_SUCCESS)) << "Users may make folders here";
    UnacknowledgedOplock oplock(data_, UnacknowledgedOplock::On::directory);
    ASSERT_TRUE(oplock.granted()) << "FSCTL_REQUEST_OPLOCK: " << oplock.error();
    const HeldAttempt attempt = attempt_while_held(
        [&] { return platform::prepare_data_directory(data_); }, [&] { oplock.release(); });
    EXPECT_TRUE(attempt.returned) << "setting the directory aside waited for the oplock's break";
    if (attempt.succeeded) {
        expect_helper_owns(data_);  // the move did not need the oplock broken
    } else {
        EXPECT_EQ(owner_of(data_), user_sid_);
    }
    ASSERT_TRUE(platform::prepare_data_directory(data_));
    expect_helper_owns(data_);
}

// An administrator may have moved ProgramData, leaving a link at its old
// place. data_dir behind such a link is served like any other: the directory,
// and the documents in it, are checked against where the link leads.
TEST_F(RealWindows, DocumentsBehindAnAdministratorsLinkAboveDataDirAreServed) {
    support::TempDir temp;
    const fs::path moved = temp.path() / "moved-programdata";
    const fs::path link = temp.path() / "programdata";
    fs::create_directory(moved);
    if (!::CreateSymbolicLinkW(link.c_str(), moved.c_str(),
                               SYMBOLIC_LINK_FLAG_DIRECTORY |
                                   SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE)) {
        GTEST_SKIP() << "cannot make a directory symbolic link here (error " << ::GetLastError()
                     << "): run elevated, or with developer mode on";
    }
    const fs::path data = link / "TarselVPN";
    ASSERT_TRUE(platform::prepare_data_directory(data));
    EXPECT_TRUE(platform::is_unredirected_directory(data));
    EXPECT_TRUE(fs::is_directory(moved / "TarselVPN")) << "made where the link leads";

    support::write_file(data / "command.json", R"({"action":"up","nonce":7})");
    platform::RepeatedFileReader reader(data / "command.json", 4096);
    const auto command = reader.read();
    ASSERT_TRUE(command.has_value()) << "the command behind the link was not read";
    EXPECT_EQ(*command, R"({"action":"up","nonce":7})");

    EXPECT_TRUE(platform::replace_file_content(data / "result.json", kRealOutcome).has_value())
        << "the answer behind the link was not written";
    EXPECT_EQ(support::read_file(moved / "TarselVPN" / "result.json"), kRealOutcome);

    support::write_file(data / "tarsel.conf", "[Interface]\n");
    EXPECT_EQ(platform::check_handed_file(data / "tarsel.conf"), platform::HandedFile::plain);
    std::error_code ignored;
    fs::remove(link, ignored);
}

}  // namespace
