#pragma once

#include <chrono>
#include <cstdint>

// The narrow seam over the Windows service control manager and the service
// control dispatcher. The product uses the system's implementation; unit tests
// substitute a recorder, so the exact calls and values can be checked without
// a real service manager. Texts are NUL-terminated UTF-16, as Windows takes them.
namespace tarsel::platform {

// An opaque service-manager handle (SC_HANDLE); 0 is the null handle.
using ScHandle = std::uintptr_t;
// An opaque SERVICE_STATUS_HANDLE; 0 is the null handle.
using StatusHandle = std::uintptr_t;

// The service manager's numbers that cross this seam, named once for the
// portable code on either side of it.
namespace scm {
inline constexpr std::uint32_t kServiceWin32OwnProcess = 0x10;  // service type
inline constexpr std::uint32_t kServiceAutoStart = 2;           // start type
inline constexpr std::uint32_t kServiceErrorNormal = 1;         // error control
inline constexpr std::uint32_t kScManagerConnect = 0x1;         // access rights
inline constexpr std::uint32_t kScManagerCreateService = 0x2;
inline constexpr std::uint32_t kServiceQueryStatus = 0x4;
inline constexpr std::uint32_t kServiceStart = 0x10;
inline constexpr std::uint32_t kServiceStop = 0x20;
inline constexpr std::uint32_t kDelete = 0x10000;
inline constexpr std::uint32_t kServiceStopped = 1;  // states
inline constexpr std::uint32_t kServiceStartPending = 2;
inline constexpr std::uint32_t kServiceStopPending = 3;
inline constexpr std::uint32_t kServiceRunning = 4;
inline constexpr std::uint32_t kServiceContinuePending = 5;
inline constexpr std::uint32_t kServicePausePending = 6;
inline constexpr std::uint32_t kServicePaused = 7;
inline constexpr std::uint32_t kAcceptStop = 1;  // controls accepted
inline constexpr std::uint32_t kAcceptShutdown = 4;
inline constexpr std::uint32_t kControlStop = 1;  // controls
inline constexpr std::uint32_t kControlInterrogate = 4;
inline constexpr std::uint32_t kControlShutdown = 5;
inline constexpr std::uint32_t kNoError = 0;  // answers and error codes
inline constexpr std::uint32_t kErrorCallNotImplemented = 120;
}  // namespace scm

// Field for field the Win32 SERVICE_STATUS record.
struct ServiceStatus {
    std::uint32_t service_type = 0;
    std::uint32_t current_state = 0;
    std::uint32_t controls_accepted = 0;
    std::uint32_t win32_exit_code = 0;
    std::uint32_t service_specific_exit_code = 0;
    std::uint32_t check_point = 0;
    std::uint32_t wait_hint = 0;
    friend bool operator==(const ServiceStatus&, const ServiceStatus&) = default;
};

// The thirteen arguments of CreateServiceW, in their order.
struct CreateServiceArguments {
    ScHandle manager = 0;
    const char16_t* service_name = nullptr;
    const char16_t* display_name = nullptr;
    std::uint32_t desired_access = 0;
    std::uint32_t service_type = 0;
    std::uint32_t start_type = 0;
    std::uint32_t error_control = 0;
    const char16_t* binary_path_name = nullptr;
    const char16_t* load_order_group = nullptr;
    std::uint32_t* tag_id = nullptr;
    const char16_t* dependencies = nullptr;
    const char16_t* service_start_name = nullptr;
    const char16_t* password = nullptr;
};

class ServiceManagerApi {
  public:
    virtual ~ServiceManagerApi() = default;
    virtual ScHandle open_sc_manager(const char16_t* machine_name, const char16_t* database_name,
                                     std::uint32_t desired_access) = 0;
    virtual ScHandle open_service(ScHandle manager, const char16_t* service_name,
                                  std::uint32_t desired_access) = 0;
    virtual ScHandle create_service(const CreateServiceArguments& arguments) = 0;
    virtual bool start_service(ScHandle service, std::uint32_t argument_count,
                               const char16_t** arguments) = 0;
    virtual bool control_service(ScHandle service, std::uint32_t control,
                                 ServiceStatus* status) = 0;
    virtual bool delete_service(ScHandle service) = 0;
    virtual bool close_service_handle(ScHandle handle) = 0;
    // GetLastError, read right after a failed call.
    virtual std::uint32_t last_error() = 0;
};

using ServiceMainFunction = void (*)(std::uint32_t argument_count, char16_t** arguments);
using ControlHandlerFunction = std::uint32_t (*)(std::uint32_t control, std::uint32_t event_type,
                                                 void* event_data, void* context);

class ServiceDispatcherApi {
  public:
    virtual ~ServiceDispatcherApi() = default;
    // StartServiceCtrlDispatcherW with a two-entry table: {service_name,
    // service_main} and the terminating null entry.
    virtual bool start_service_ctrl_dispatcher(const char16_t* service_name,
                                               ServiceMainFunction service_main) = 0;
    virtual StatusHandle register_service_ctrl_handler_ex(const char16_t* service_name,
                                                          ControlHandlerFunction handler,
                                                          void* context) = 0;
    virtual bool set_service_status(StatusHandle handle, const ServiceStatus& status) = 0;
    virtual std::uint32_t last_error() = 0;
};

// The system's service manager. On a host without one (the POSIX development
// build) every call fails as a refused call does.
[[nodiscard]] ServiceManagerApi& system_service_manager();

// The system's dispatcher. On a host without one (the POSIX development build)
// a stand-in runs service_main on a thread of its own and turns SIGINT and
// SIGTERM into STOP and SHUTDOWN controls for the registered handler; it
// returns once the service has reported itself stopped.
[[nodiscard]] ServiceDispatcherApi& system_service_dispatcher();

}  // namespace tarsel::platform
