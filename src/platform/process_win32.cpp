#include <windows.h>

#include <memory>
#include <optional>

#include "platform/output_pipes.h"
#include "platform/process.h"
#include "platform/system_random.h"
#include "platform/text.h"
#include "platform/win32_handles.h"

namespace tarsel::platform {
namespace {

using win32::UniqueFile;
using win32::UniqueKernelObject;

constexpr DWORD kPipeBufferSize = 64 * 1024;

std::int32_t last_error() {
    return static_cast<std::int32_t>(::GetLastError());
}

SECURITY_ATTRIBUTES inheritable() {
    return {sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
}

struct Pipe {
    UniqueFile read_end;   // ours: not inheritable, overlapped
    UniqueFile write_end;  // the child's: inheritable
};

// The helper's own token user, the only account its pipes admit.
struct HelperUser {
    alignas(TOKEN_USER) unsigned char buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    [[nodiscard]] PSID sid() { return reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid; }
};

std::expected<void, std::int32_t> read_token_user(HelperUser& user) {
    HANDLE token = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) {
        return std::unexpected(last_error());
    }
    const UniqueKernelObject owned(token);
    DWORD size = 0;
    if (!::GetTokenInformation(token, TokenUser, user.buffer, sizeof user.buffer, &size)) {
        return std::unexpected(last_error());
    }
    return {};
}

// CreatePipe gives no overlapped reads, so each pipe is a one-instance named
// pipe, with the writing end opened at once. Any local user may create pipes:
// a name they could guess they could take first, and every action would then
// fail. So the name carries 128 bits from the system's random source, the
// DACL admits only the helper's own user, and FILE_FLAG_FIRST_PIPE_INSTANCE
// makes the call fail rather than join a pipe someone else made under that
// name; a fresh name is then tried. The child's end is opened for
// identification only, so even a pipe server that got in could not act as
// the helper.
std::expected<Pipe, std::int32_t> make_pipe() {
    HelperUser user;
    if (auto read = read_token_user(user); !read) {
        return std::unexpected(read.error());
    }
    alignas(ACL) unsigned char acl_buffer[sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) +
                                          SECURITY_MAX_SID_SIZE];
    auto* acl = reinterpret_cast<PACL>(acl_buffer);
    SECURITY_DESCRIPTOR descriptor{};
    if (!::InitializeAcl(acl, sizeof acl_buffer, ACL_REVISION) ||
        !::AddAccessAllowedAce(acl, ACL_REVISION, GENERIC_ALL, user.sid()) ||
        !::InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) ||
        !::SetSecurityDescriptorDacl(&descriptor, TRUE, acl, FALSE)) {
        return std::unexpected(last_error());
    }
    SECURITY_ATTRIBUTES private_pipe{sizeof(SECURITY_ATTRIBUTES), &descriptor, FALSE};
    constexpr int kAttempts = 4;
    std::int32_t error = ERROR_ACCESS_DENIED;
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        const auto random = system_random_hex(16);
        if (!random) {
            return std::unexpected(random.error());
        }
        const std::wstring name =
            L"\\\\.\\pipe\\tarsel-helper-" + std::wstring(random->begin(), random->end());
        Pipe pipe;
        pipe.read_end.reset(::CreateNamedPipeW(
            name.c_str(),
            PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
            PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1,
            kPipeBufferSize, kPipeBufferSize, 0, &private_pipe));
        if (!pipe.read_end) {
            error = last_error();
            // A name already taken answers access denied (or busy): another.
            if (error == ERROR_ACCESS_DENIED || error == ERROR_PIPE_BUSY) {
                continue;
            }
            return std::unexpected(error);
        }
        SECURITY_ATTRIBUTES attributes = inheritable();
        pipe.write_end.reset(::CreateFileW(
            name.c_str(), GENERIC_WRITE, 0, &attributes, OPEN_EXISTING,
            FILE_ATTRIBUTE_NORMAL | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr));
        if (!pipe.write_end) {
            return std::unexpected(last_error());
        }
        return pipe;
    }
    return std::unexpected(error);
}

// One overlapped read at a time on one pipe, appending to one buffer. A read
// still in flight when the reader goes away is cancelled and waited for, since
// the system writes into the buffer and the OVERLAPPED until it completes.
class PipeReader {
  public:
    PipeReader(UniqueFile pipe, std::string& sink)
        : pipe_(std::move(pipe)), sink_(sink), chunk_(new char[kPipeBufferSize]) {}
    PipeReader(const PipeReader&) = delete;
    PipeReader& operator=(const PipeReader&) = delete;
    ~PipeReader() { cancel(); }

    // Stops the read in flight, keeping whatever it had taken when it ended.
    void cancel() {
        if (pending_) {
            ::CancelIoEx(pipe_.get(), &overlapped_);
            DWORD transferred = 0;
            if (::GetOverlappedResult(pipe_.get(), &overlapped_, &transferred, TRUE)) {
                sink_.append(chunk_.get(), transferred);
            }
            pending_ = false;
        }
    }

    [[nodiscard]] std::expected<void, std::int32_t> open_event() {
        event_.reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
        if (!event_) {
            return std::unexpected(last_error());
        }
        return {};
    }

    [[nodiscard]] bool ended() const { return ended_; }
    [[nodiscard]] HANDLE event() const { return event_.get(); }

    // A read that completes at once still signals the event, so both kinds of
    // start are collected the same way, in collect().
    [[nodiscard]] std::expected<void, std::int32_t> start() {
        overlapped_ = {};
        overlapped_.hEvent = event_.get();
        if (::ReadFile(pipe_.get(), chunk_.get(), kPipeBufferSize, nullptr, &overlapped_)) {
            pending_ = true;
            return {};
        }
        const DWORD error = ::GetLastError();
        if (error == ERROR_IO_PENDING) {
            pending_ = true;
            return {};
        }
        return finish_with(error);
    }

    [[nodiscard]] std::expected<void, std::int32_t> collect() {
        DWORD transferred = 0;
        const BOOL done = ::GetOverlappedResult(pipe_.get(), &overlapped_, &transferred, FALSE);
        const DWORD error = done ? ERROR_SUCCESS : ::GetLastError();
        pending_ = false;
        if (!done) {
            return finish_with(error);
        }
        sink_.append(chunk_.get(), transferred);
        return start();
    }

  private:
    // The child side closing its end (on exit, or by hand) is the normal end.
    std::expected<void, std::int32_t> finish_with(DWORD error) {
        if (error == ERROR_BROKEN_PIPE) {
            ended_ = true;
            return {};
        }
        return std::unexpected(static_cast<std::int32_t>(error));
    }

    UniqueFile pipe_;
    UniqueKernelObject event_;
    std::string& sink_;
    std::unique_ptr<char[]> chunk_;
    OVERLAPPED overlapped_{};
    bool pending_ = false;
    bool ended_ = false;
};

// Both pipes are read at once: a child that fills one pipe while we would be
// blocked on the other would otherwise never finish. The reads end when both
// pipes do, or kPipesAfterExit after `process` has exited: a process it
// started may have inherited the pipes and hold them open for as long as it
// runs, and the loop, and STOP with it, must not wait for that.
std::expected<void, std::int32_t> read_both(UniqueFile out, UniqueFile err, HANDLE process,
                                            ProcessOutput& output) {
    PipeReader out_reader(std::move(out), output.standard_output);
    PipeReader err_reader(std::move(err), output.standard_error);
    PipeReader* readers[] = {&out_reader, &err_reader};
    for (PipeReader* reader : readers) {
        if (auto ready = reader->open_event(); !ready) {
            return ready;
        }
    }
    for (PipeReader* reader : readers) {
        if (auto started = reader->start(); !started) {
            return started;
        }
    }
    std::optional<ULONGLONG> deadline;  // once the process has exited
    // The order alternates between passes so that a busy stdout cannot keep
    // stderr waiting; WaitForMultipleObjects reports the lowest ready index,
    // so the process comes last and a pipe with data is always read first.
    for (unsigned pass = 0; !out_reader.ended() || !err_reader.ended(); ++pass) {
        HANDLE events[3];
        PipeReader* owners[2];
        DWORD count = 0;
        for (unsigned i = 0; i < 2; ++i) {
            PipeReader* reader = readers[(pass + i) % 2];
            if (!reader->ended()) {
                events[count] = reader->event();
                owners[count++] = reader;
            }
        }
        const DWORD pipes = count;
        DWORD timeout = INFINITE;
        if (!deadline) {
            events[count++] = process;
        } else {
            const ULONGLONG now = ::GetTickCount64();
            if (now >= *deadline) {
                break;
            }
            timeout = static_cast<DWORD>(*deadline - now);
        }
        const DWORD signalled = ::WaitForMultipleObjects(count, events, FALSE, timeout);
        if (signalled == WAIT_FAILED) {
            return std::unexpected(last_error());
        }
        if (signalled == WAIT_TIMEOUT) {
            break;
        }
        // Only events and the process are waited on, so no other result is
        // expected; should one come, the read fails rather than guess a pipe.
        if (signalled >= WAIT_OBJECT_0 + count) {
            return std::unexpected(static_cast<std::int32_t>(ERROR_INVALID_HANDLE));
        }
        if (signalled == WAIT_OBJECT_0 + pipes) {
            deadline = ::GetTickCount64() + kPipesAfterExit.count();
            continue;
        }
        if (auto collected = owners[signalled - WAIT_OBJECT_0]->collect(); !collected) {
            return collected;
        }
    }
    // What the reads still in flight had taken is kept; the pipes close as
    // the readers go, so the holder's further writes fail rather than block.
    for (PipeReader* reader : readers) {
        reader->cancel();
    }
    return {};
}

}  // namespace

std::expected<ProcessOutput, std::int32_t> run_process(const ProcessRequest& request) {
    SECURITY_ATTRIBUTES attributes = inheritable();
    UniqueFile null_input(::CreateFileW(L"\\\\.\\NUL", GENERIC_READ,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE, &attributes,
                                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!null_input) {
        return std::unexpected(last_error());
    }
    auto pipes = make_output_pipes(make_pipe);
    if (!pipes) {
        return std::unexpected(pipes.error());
    }
    auto& [out, err] = *pipes;

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = null_input.get();
    startup.hStdOutput = out.write_end.get();
    startup.hStdError = err.write_end.get();

    // CreateProcessW may write into the command line, so it gets its own copy.
    std::wstring command_line(request.command_line.begin(), request.command_line.end());
    // The child talks through the pipes only. A service has no console, so a
    // console program started without DETACHED_PROCESS is given a console of
    // its own, and the start of that console's host comes on top of every
    // action (under Wine it more than doubled an answer's time).
    PROCESS_INFORMATION started{};
    if (!::CreateProcessW(request.program.c_str(), command_line.data(), nullptr, nullptr, TRUE,
                          CREATE_UNICODE_ENVIRONMENT | DETACHED_PROCESS, nullptr, nullptr,
                          &startup, &started)) {
        return std::unexpected(last_error());
    }
    const UniqueKernelObject process(started.hProcess);
    const UniqueKernelObject thread(started.hThread);

    // The child holds its own copies now. Were ours kept open, the pipes would
    // never report their end and the reads below would wait forever.
    null_input.reset();
    out.write_end.reset();
    err.write_end.reset();

    ProcessOutput output;
    // Returning as soon as a read fails would orphan a child that may be half
    // way through changing the tunnel service. Such a failure is instead
    // reported like a failed start, but only once the child has ended: our read
    // ends are closed first (the child's writes then fail rather than block),
    // then the child is waited for like any other.
    const auto read =
        read_both(std::move(out.read_end), std::move(err.read_end), process.get(), output);

    if (::WaitForSingleObject(process.get(), INFINITE) == WAIT_FAILED) {
        return std::unexpected(last_error());
    }
    if (!read) {
        return std::unexpected(read.error());
    }
    DWORD exit_code = 0;
    if (!::GetExitCodeProcess(process.get(), &exit_code)) {
        return std::unexpected(last_error());
    }
    output.exit_code = exit_code;
    return output;
}

std::string os_error_text(std::int32_t code) {
    constexpr DWORD kNtStatusBit = 0x10000000;
    DWORD message_id = static_cast<DWORD>(code);
    DWORD flags = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
    HMODULE module = nullptr;
    // Codes with this bit are NTSTATUS values; their messages live in ntdll's
    // message table rather than the system's.
    if ((message_id & kNtStatusBit) != 0) {
        if (HMODULE ntdll = ::GetModuleHandleW(L"NTDLL.DLL")) {
            module = ntdll;
            message_id &= ~kNtStatusBit;
            flags |= FORMAT_MESSAGE_FROM_HMODULE;
        }
    }
    const std::string looked_up = std::to_string(static_cast<std::int32_t>(message_id));

    wchar_t buffer[2048];
    const DWORD length = ::FormatMessageW(flags, module, message_id, 0, buffer, 2048, nullptr);
    std::string message;
    if (length == 0) {
        const DWORD error = ::GetLastError();
        message = "OS Error " + looked_up + " (FormatMessageW() returned error " +
                  std::to_string(error) + ")";
    } else {
        std::u16string_view units(reinterpret_cast<const char16_t*>(buffer), length);
        if (!is_valid_utf16(units)) {
            message = "OS Error " + looked_up + " (FormatMessageW() returned invalid UTF-16)";
        } else {
            while (!units.empty() &&
                   (units.back() == u' ' || units.back() == u'\t' || units.back() == u'\n' ||
                    units.back() == u'\f' || units.back() == u'\r')) {
                units.remove_suffix(1);
            }
            message = utf16_to_utf8_lossy(units);
        }
    }
    return message + " (os error " + std::to_string(code) + ")";
}

}  // namespace tarsel::platform
