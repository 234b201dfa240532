#include <windows.h>

#include <atomic>
#include <iterator>

#include "platform/service_control.h"

namespace tarsel::platform {
namespace {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "Windows texts are UTF-16 code units");
static_assert(sizeof(DWORD) == sizeof(std::uint32_t));

// The portable names and the system's own must never drift apart.
static_assert(scm::kServiceWin32OwnProcess == SERVICE_WIN32_OWN_PROCESS);
static_assert(scm::kServiceAutoStart == SERVICE_AUTO_START);
static_assert(scm::kServiceErrorNormal == SERVICE_ERROR_NORMAL);
static_assert(scm::kScManagerConnect == SC_MANAGER_CONNECT);
static_assert(scm::kScManagerCreateService == SC_MANAGER_CREATE_SERVICE);
static_assert(scm::kServiceQueryStatus == SERVICE_QUERY_STATUS);
static_assert(scm::kServiceStart == SERVICE_START);
static_assert(scm::kServiceStop == SERVICE_STOP);
static_assert(scm::kDelete == DELETE);
static_assert(scm::kServiceStopped == SERVICE_STOPPED);
static_assert(scm::kServiceStartPending == SERVICE_START_PENDING);
static_assert(scm::kServiceStopPending == SERVICE_STOP_PENDING);
static_assert(scm::kServiceRunning == SERVICE_RUNNING);
static_assert(scm::kServiceContinuePending == SERVICE_CONTINUE_PENDING);
static_assert(scm::kServicePausePending == SERVICE_PAUSE_PENDING);
static_assert(scm::kServicePaused == SERVICE_PAUSED);
static_assert(scm::kAcceptStop == SERVICE_ACCEPT_STOP);
static_assert(scm::kAcceptShutdown == SERVICE_ACCEPT_SHUTDOWN);
static_assert(scm::kControlStop == SERVICE_CONTROL_STOP);
static_assert(scm::kControlInterrogate == SERVICE_CONTROL_INTERROGATE);
static_assert(scm::kControlShutdown == SERVICE_CONTROL_SHUTDOWN);
static_assert(scm::kNoError == NO_ERROR);
static_assert(scm::kErrorCallNotImplemented == ERROR_CALL_NOT_IMPLEMENTED);

const wchar_t* wide(const char16_t* text) {
    return reinterpret_cast<const wchar_t*>(text);
}

SC_HANDLE to_system(ScHandle handle) {
    return reinterpret_cast<SC_HANDLE>(handle);
}

ScHandle from_system(SC_HANDLE handle) {
    return reinterpret_cast<ScHandle>(handle);
}

// Each of SERVICE_STATUS's fields beside its portable name. Both directions
// go through this one table, so they cannot disagree, and a field added to
// ServiceStatus without a row here stops the build.
struct StatusField {
    std::uint32_t ServiceStatus::*ours;
    DWORD SERVICE_STATUS::*system;
};
constexpr StatusField kStatusFields[] = {
    {&ServiceStatus::service_type, &SERVICE_STATUS::dwServiceType},
    {&ServiceStatus::current_state, &SERVICE_STATUS::dwCurrentState},
    {&ServiceStatus::controls_accepted, &SERVICE_STATUS::dwControlsAccepted},
    {&ServiceStatus::win32_exit_code, &SERVICE_STATUS::dwWin32ExitCode},
    {&ServiceStatus::service_specific_exit_code, &SERVICE_STATUS::dwServiceSpecificExitCode},
    {&ServiceStatus::check_point, &SERVICE_STATUS::dwCheckPoint},
    {&ServiceStatus::wait_hint, &SERVICE_STATUS::dwWaitHint},
};
static_assert(std::size(kStatusFields) * sizeof(std::uint32_t) == sizeof(ServiceStatus));
static_assert(std::size(kStatusFields) * sizeof(DWORD) == sizeof(SERVICE_STATUS));

ServiceStatus from_system(const SERVICE_STATUS& status) {
    ServiceStatus ours;
    for (const StatusField& field : kStatusFields) {
        ours.*field.ours = status.*field.system;
    }
    return ours;
}

SERVICE_STATUS to_system(const ServiceStatus& status) {
    SERVICE_STATUS system{};
    for (const StatusField& field : kStatusFields) {
        system.*field.system = status.*field.ours;
    }
    return system;
}

class SystemServiceManager final : public ServiceManagerApi {
  public:
    ScHandle open_sc_manager(const char16_t* machine_name, const char16_t* database_name,
                             std::uint32_t desired_access) override {
        return from_system(
            ::OpenSCManagerW(wide(machine_name), wide(database_name), desired_access));
    }

    ScHandle open_service(ScHandle manager, const char16_t* service_name,
                          std::uint32_t desired_access) override {
        return from_system(::OpenServiceW(to_system(manager), wide(service_name), desired_access));
    }

    ScHandle create_service(const CreateServiceArguments& a) override {
        return from_system(::CreateServiceW(
            to_system(a.manager), wide(a.service_name), wide(a.display_name), a.desired_access,
            a.service_type, a.start_type, a.error_control, wide(a.binary_path_name),
            wide(a.load_order_group), reinterpret_cast<LPDWORD>(a.tag_id), wide(a.dependencies),
            wide(a.service_start_name), wide(a.password)));
    }

    bool start_service(ScHandle service, std::uint32_t argument_count,
                       const char16_t** arguments) override {
        return ::StartServiceW(to_system(service), argument_count,
                               reinterpret_cast<LPCWSTR*>(arguments)) != 0;
    }

    bool control_service(ScHandle service, std::uint32_t control, ServiceStatus* status) override {
        SERVICE_STATUS system_status{};
        const bool done = ::ControlService(to_system(service), control, &system_status) != 0;
        if (status != nullptr) {
            *status = from_system(system_status);
        }
        return done;
    }

    bool delete_service(ScHandle service) override {
        return ::DeleteService(to_system(service)) != 0;
    }

    bool close_service_handle(ScHandle handle) override {
        return ::CloseServiceHandle(to_system(handle)) != 0;
    }

    std::uint32_t last_error() override { return ::GetLastError(); }
};

// The dispatcher serves one service per process (the table has one entry), so
// one slot each for the service main and the control handler is enough. The
// trampolines exist because the seam's function types are not the WINAPI
// ones: the calling convention and the wchar_t/char16_t and DWORD types differ
// in spelling, and a cast between them would hide a real mismatch.
std::atomic<ServiceMainFunction> registered_service_main{nullptr};
std::atomic<ControlHandlerFunction> registered_handler{nullptr};

void WINAPI service_main_trampoline(DWORD argument_count, LPWSTR* arguments) {
    registered_service_main.load(std::memory_order_acquire)(
        argument_count, reinterpret_cast<char16_t**>(arguments));
}

DWORD WINAPI handler_trampoline(DWORD control, DWORD event_type, LPVOID event_data,
                                LPVOID context) {
    return registered_handler.load(std::memory_order_acquire)(control, event_type, event_data,
                                                              context);
}

class SystemServiceDispatcher final : public ServiceDispatcherApi {
  public:
    bool start_service_ctrl_dispatcher(const char16_t* service_name,
                                       ServiceMainFunction service_main) override {
        registered_service_main.store(service_main, std::memory_order_release);
        // The dispatcher writes nothing into the table, but takes it as mutable.
        SERVICE_TABLE_ENTRYW table[] = {
            {const_cast<LPWSTR>(wide(service_name)), &service_main_trampoline},
            {nullptr, nullptr},
        };
        return ::StartServiceCtrlDispatcherW(table) != 0;
    }

    StatusHandle register_service_ctrl_handler_ex(const char16_t* service_name,
                                                  ControlHandlerFunction handler,
                                                  void* context) override {
        // Stored before registering: the dispatcher may call the handler on
        // its own thread as soon as the registration is in place.
        registered_handler.store(handler, std::memory_order_release);
        return reinterpret_cast<StatusHandle>(
            ::RegisterServiceCtrlHandlerExW(wide(service_name), &handler_trampoline, context));
    }

    bool set_service_status(StatusHandle handle, const ServiceStatus& status) override {
        SERVICE_STATUS system_status = to_system(status);
        return ::SetServiceStatus(reinterpret_cast<SERVICE_STATUS_HANDLE>(handle),
                                  &system_status) != 0;
    }

    std::uint32_t last_error() override { return ::GetLastError(); }
};

}  // namespace

ServiceManagerApi& system_service_manager() {
    static SystemServiceManager manager;
    return manager;
}

ServiceDispatcherApi& system_service_dispatcher() {
    static SystemServiceDispatcher dispatcher;
    return dispatcher;
}

}  // namespace tarsel::platform
