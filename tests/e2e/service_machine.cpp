#include "e2e/service_machine.h"

#include <stdexcept>
#include <thread>

#include "exchange/command_line.h"
#include "platform/environment.h"
#include "platform/process.h"
#include "support/standin_protocol.h"
#include "support/temp_dir.h"

namespace tarsel::e2e {
namespace {

using platform::win32::UniqueFile;

// Status changes are watched closely so that measured stop times are not
// inflated by the polling itself.
constexpr auto kPollStep = 10ms;

[[noreturn]] void fail(const std::string& what, DWORD code = ::GetLastError()) {
    throw std::runtime_error(what + " failed with error " + std::to_string(code));
}

// A freshly stopped service process may still be on its way out, holding the
// executable open for a moment.
void copy_with_retry(const fs::path& from, const fs::path& to) {
    const auto deadline = Clock::now() + 10s;
    for (;;) {
        std::error_code error;
        fs::copy_file(from, to, fs::copy_options::overwrite_existing, error);
        if (!error)
            return;
        if (Clock::now() > deadline) {
            throw std::runtime_error("cannot copy " + from.string() + ": " + error.message());
        }
        std::this_thread::sleep_for(100ms);
    }
}

}  // namespace

fs::path install_directory() {
    return L"C:\\Program Files\\TarselVPN";
}

fs::path installed_helper() {
    return install_directory() / L"tarsel-helper.exe";
}

void deploy_helper() {
    fs::create_directories(install_directory());
    copy_with_retry(testing::program_directory() / L"tarsel-helper.exe", installed_helper());
    copy_with_retry(testing::program_directory() / L"wireguard.exe",
                    install_directory() / L"wireguard.exe");
    testing::set_standin_behaviour(install_directory(), {});
    clear_standin_log();
}

void clear_standin_log() {
    fs::remove(install_directory() / std::string(testing::standin::kLogFile));
}

UniqueSc open_manager() {
    UniqueSc manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager)
        fail("OpenSCManagerW");
    return manager;
}

std::expected<UniqueSc, DWORD> open_service(SC_HANDLE manager, DWORD access) {
    UniqueSc service(::OpenServiceW(manager, kServiceName, access));
    if (!service)
        return std::unexpected(::GetLastError());
    return service;
}

SERVICE_STATUS_PROCESS query_status(SC_HANDLE service) {
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    if (!::QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                                sizeof status, &needed)) {
        fail("QueryServiceStatusEx");
    }
    return status;
}

std::optional<SERVICE_STATUS_PROCESS> wait_for_state(SC_HANDLE service, DWORD state,
                                                     Clock::duration timeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        const SERVICE_STATUS_PROCESS status = query_status(service);
        if (status.dwCurrentState == state)
            return status;
        if (Clock::now() > deadline)
            return std::nullopt;
        std::this_thread::sleep_for(kPollStep);
    }
}

bool wait_until_unregistered(SC_HANDLE manager, Clock::duration timeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        const auto service = open_service(manager, SERVICE_QUERY_STATUS);
        if (!service && service.error() == ERROR_SERVICE_DOES_NOT_EXIST)
            return true;
        if (Clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(kPollStep);
    }
}

Registration query_registration(SC_HANDLE service) {
    DWORD needed = 0;
    ::QueryServiceConfigW(service, nullptr, 0, &needed);
    // QUERY_SERVICE_CONFIGW holds pointers, so the buffer is kept pointer-aligned.
    std::vector<std::uint64_t> buffer(needed / sizeof(std::uint64_t) + 1);
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    if (!::QueryServiceConfigW(service, config, static_cast<DWORD>(buffer.size() * 8), &needed)) {
        fail("QueryServiceConfigW");
    }
    const auto text = [](const wchar_t* value) { return std::wstring(value ? value : L""); };
    return Registration{
        .service_type = config->dwServiceType,
        .start_type = config->dwStartType,
        .error_control = config->dwErrorControl,
        .binary_path = text(config->lpBinaryPathName),
        .load_order_group = text(config->lpLoadOrderGroup),
        .tag_id = config->dwTagId,
        .dependencies = text(config->lpDependencies),
        .start_name = text(config->lpServiceStartName),
        .display_name = text(config->lpDisplayName),
    };
}

void remove_service(SC_HANDLE manager) {
    {
        auto service = open_service(manager);
        if (!service) {
            if (service.error() == ERROR_SERVICE_DOES_NOT_EXIST)
                return;
            fail("OpenServiceW", service.error());
        }
        const SERVICE_STATUS_PROCESS initial = query_status(service->get());
        UniqueProcess process;
        if (initial.dwProcessId != 0)
            process = open_process(initial.dwProcessId);

        // A service still starting refuses the control, and one busy with a
        // slow wireguard.exe takes its time; the stop is repeated until it lands.
        const auto deadline = Clock::now() + 60s;
        auto last_stop = Clock::time_point{};
        while (query_status(service->get()).dwCurrentState != SERVICE_STOPPED) {
            if (Clock::now() > deadline)
                throw std::runtime_error("the service does not stop");
            if (Clock::now() - last_stop > 1s) {
                SERVICE_STATUS ignored{};
                ::ControlService(service->get(), SERVICE_CONTROL_STOP, &ignored);
                last_stop = Clock::now();
            }
            std::this_thread::sleep_for(kPollStep);
        }
        // Already marked for deletion (1072) is as good as deleted here.
        ::DeleteService(service->get());
        if (process && !wait_for_exit(process.get(), 30s)) {
            throw std::runtime_error("the service process does not end");
        }
    }
    if (!wait_until_unregistered(manager, 30s)) {
        throw std::runtime_error("the service registration does not go away");
    }
}

UniqueProcess open_process(DWORD process_id) {
    UniqueProcess process(
        ::OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, process_id));
    if (!process)
        fail("OpenProcess");
    return process;
}

std::optional<DWORD> wait_for_exit(HANDLE process, Clock::duration timeout) {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(timeout).count();
    if (::WaitForSingleObject(process, static_cast<DWORD>(ms)) != WAIT_OBJECT_0) {
        return std::nullopt;
    }
    DWORD code = 0;
    if (!::GetExitCodeProcess(process, &code))
        fail("GetExitCodeProcess");
    return code;
}

HelperRun run_helper(const std::vector<std::string>& arguments) {
    const fs::path program = installed_helper();
    const platform::ProcessRequest request{
        .program = program,
        .arguments = arguments,
        .command_line = exchange::encode_command_line(platform::path_to_utf16(program), arguments),
    };
    const auto start = Clock::now();
    auto output = platform::run_process(request);
    const auto took = Clock::now() - start;
    if (!output) {
        throw std::runtime_error("cannot run the helper: " +
                                 platform::os_error_text(output.error()));
    }
    return HelperRun{
        .exit_code = output->exit_code,
        .standard_output = std::move(output->standard_output),
        .standard_error = std::move(output->standard_error),
        .took = took,
    };
}

std::vector<fs::path> data_dir_candidates() {
    std::vector<fs::path> candidates;
    for (const wchar_t* variable : {L"PROGRAMDATA", L"PUBLIC", L"ALLUSERSPROFILE"}) {
        wchar_t value[MAX_PATH];
        const DWORD length = ::GetEnvironmentVariableW(variable, value, MAX_PATH);
        if (length == 0 || length >= MAX_PATH)
            continue;
        const fs::path candidate =
            platform::join_path(fs::path(std::wstring(value, length)), "TarselVPN");
        bool known = false;
        for (const fs::path& other : candidates) {
            known = known || _wcsicmp(other.c_str(), candidate.c_str()) == 0;
        }
        if (!known)
            candidates.push_back(candidate);
    }
    return candidates;
}

void remove_data_dir_candidates() {
    for (const fs::path& candidate : data_dir_candidates())
        fs::remove_all(candidate);
}

std::optional<fs::path> wait_for_data_dir(Clock::duration timeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        for (const fs::path& candidate : data_dir_candidates()) {
            if (fs::is_directory(candidate))
                return candidate;
        }
        if (Clock::now() > deadline)
            return std::nullopt;
        std::this_thread::sleep_for(kPollStep);
    }
}

void write_command(const fs::path& data_dir, std::string_view document) {
    const fs::path staged = data_dir / L"command.json.new";
    const fs::path target = data_dir / L"command.json";
    testing::write_file(staged, document);
    // The service may have the old file open for its read at this moment.
    const auto deadline = Clock::now() + 5s;
    while (!::MoveFileExW(staged.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        if (Clock::now() > deadline)
            fail("MoveFileExW");
        std::this_thread::sleep_for(kPollStep);
    }
}

std::optional<std::string> read_shared(const fs::path& path) {
    UniqueFile file(::CreateFileW(path.c_str(), GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        return std::nullopt;
    std::string content;
    char chunk[4096];
    DWORD got = 0;
    while (::ReadFile(file.get(), chunk, sizeof chunk, &got, nullptr) && got > 0) {
        content.append(chunk, got);
    }
    return content;
}

std::optional<std::uint64_t> written_at(const fs::path& path) {
    UniqueFile file(::CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    FILETIME written{};
    if (!file || !::GetFileTime(file.get(), nullptr, nullptr, &written))
        return std::nullopt;
    return (std::uint64_t{written.dwHighDateTime} << 32) | written.dwLowDateTime;
}

std::optional<std::string> wait_for_result(const fs::path& data_dir, std::uint64_t nonce,
                                           Clock::duration timeout) {
    // The service writes result.json in place, so a read can catch it empty or
    // half written; only a whole document for this nonce counts.
    const std::string start = "{\"nonce\":" + std::to_string(nonce) + ",";
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        const auto content = read_shared(data_dir / L"result.json");
        if (content && content->starts_with(start) && content->ends_with('}'))
            return content;
        if (Clock::now() > deadline)
            return std::nullopt;
        std::this_thread::sleep_for(kPollStep);
    }
}

}  // namespace tarsel::e2e
