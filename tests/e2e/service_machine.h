#pragma once

// The machine-wide things the end-to-end tests drive and observe: the
// installed helper under Program Files, the real service control manager, the
// service process and the exchange files in the service's data directory.
#include <windows.h>

#include <chrono>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/win32_handles.h"

namespace tarsel::e2e {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

inline constexpr const wchar_t* kServiceName = L"TarselHelper";

// Where an installer puts the helper and wireguard.exe: a path with a blank.
[[nodiscard]] fs::path install_directory();
[[nodiscard]] fs::path installed_helper();

// Copies the freshly built helper and the stand-in wireguard.exe (succeeding,
// silent) into the install directory, with an empty stand-in log.
void deploy_helper();
void clear_standin_log();

using platform::win32::UniqueSc;

using UniqueProcess = platform::win32::UniqueKernelObject;

[[nodiscard]] UniqueSc open_manager();
// The helper's service, or the error of OpenServiceW (1060 when there is none).
[[nodiscard]] std::expected<UniqueSc, DWORD> open_service(SC_HANDLE manager,
                                                          DWORD access = SERVICE_ALL_ACCESS);

[[nodiscard]] SERVICE_STATUS_PROCESS query_status(SC_HANDLE service);
// The status once the service is in `state`, or nothing after `timeout`.
[[nodiscard]] std::optional<SERVICE_STATUS_PROCESS> wait_for_state(SC_HANDLE service, DWORD state,
                                                                   Clock::duration timeout);
// True once OpenServiceW reports that no such service exists.
[[nodiscard]] bool wait_until_unregistered(SC_HANDLE manager, Clock::duration timeout);

// What QueryServiceConfigW reports, texts as UTF-16.
struct Registration {
    DWORD service_type = 0;
    DWORD start_type = 0;
    DWORD error_control = 0;
    std::wstring binary_path;
    std::wstring load_order_group;
    DWORD tag_id = 0;
    std::wstring dependencies;  // the first entry; empty when there is none
    std::wstring start_name;
    std::wstring display_name;
    friend bool operator==(const Registration&, const Registration&) = default;
};
[[nodiscard]] Registration query_registration(SC_HANDLE service);

// Stops and deletes the helper's service if there is one, and waits until the
// registration is gone and the service process has ended, so that the next
// test finds a clean machine.
void remove_service(SC_HANDLE manager);

[[nodiscard]] UniqueProcess open_process(DWORD process_id);
// The exit code once the process has ended, or nothing after `timeout`.
[[nodiscard]] std::optional<DWORD> wait_for_exit(HANDLE process, Clock::duration timeout);

// One console run of the installed helper.
struct HelperRun {
    std::uint32_t exit_code = 0;
    std::string standard_output;
    std::string standard_error;
    Clock::duration took{};
};
[[nodiscard]] HelperRun run_helper(const std::vector<std::string>& arguments);

// The exchange, as the client sees it.
// Where the service may put its data directory; a service under Wine sees a
// different PROGRAMDATA than console programs do.
[[nodiscard]] std::vector<fs::path> data_dir_candidates();
void remove_data_dir_candidates();
// The candidate that the running service created, once one exists.
[[nodiscard]] std::optional<fs::path> wait_for_data_dir(Clock::duration timeout);

// Replaces command.json at once, so that the service never reads a half-written one.
void write_command(const fs::path& data_dir, std::string_view document);
// The whole content of the file, read with all sharing; nothing if it cannot be opened.
[[nodiscard]] std::optional<std::string> read_shared(const fs::path& path);
// When the file was last written, read through a handle that asks only for its
// attributes and shares everything, so that asking never makes the service's
// own open of the file fail; nothing if it cannot be opened.
[[nodiscard]] std::optional<std::uint64_t> written_at(const fs::path& path);
// result.json once it holds a complete document for `nonce`, or nothing after `timeout`.
[[nodiscard]] std::optional<std::string> wait_for_result(const fs::path& data_dir,
                                                         std::uint64_t nonce,
                                                         Clock::duration timeout);

}  // namespace tarsel::e2e
