#include "install/registration.h"

#include <string_view>
#include <thread>
#include <utility>

#include "install/quote.h"
#include "platform/process.h"
#include "platform/unique_handle.h"
#include "service/service_error.h"
#include "service/service_host.h"

namespace tarsel::install {
namespace {

using platform::ScHandle;
using platform::ServiceManagerApi;
using service::ServiceError;

constexpr std::u16string_view kDisplayName = u"TarselVPN Helper";

using namespace platform::scm;

constexpr int kRepairAttempts = 60;
constexpr std::chrono::milliseconds kRepairPause{250};

// Closes through the seam when the scope ends. Declared in the order opened,
// so the service handle goes before the manager handle; the error code of a
// failed call is read before either is closed.
struct SeamScTraits {
    using Value = ScHandle;
    ServiceManagerApi* manager = nullptr;
    static Value invalid() noexcept { return 0; }
    void close(Value handle) const noexcept { (void)manager->close_service_handle(handle); }
};
using ScopedScHandle = platform::UniqueHandle<SeamScTraits>;

ScopedScHandle scoped(ServiceManagerApi& manager, ScHandle handle) {
    return ScopedScHandle(handle, SeamScTraits{&manager});
}

std::unexpected<std::string> failure(const ServiceError& error) {
    return std::unexpected(service::service_error_text(error));
}

std::unexpected<std::string> call_failed(ServiceManagerApi& manager) {
    return failure(service::SystemCallFailed{manager.last_error()});
}

// The service manager takes NUL-terminated texts; an inner NUL would silently
// cut the text short there.
std::expected<std::u16string, ServiceError> terminated_text(std::u16string_view text,
                                                            std::string label) {
    if (text.find(u'\0') != std::u16string_view::npos) {
        return std::unexpected(service::EmbeddedNul{std::move(label)});
    }
    return std::u16string(text);
}

}  // namespace

InstallSeams default_install_seams() {
    return InstallSeams{
        .manager = platform::system_service_manager(),
        .executable_path = [] { return platform::executable_path(); },
        .sleep = [](std::chrono::milliseconds pause) { std::this_thread::sleep_for(pause); },
    };
}

std::expected<void, std::string> install_service() {
    return install_service(default_install_seams());
}

std::expected<void, std::string> install_service(const InstallSeams& seams) {
    ServiceManagerApi& api = seams.manager;
    const ScopedScHandle manager = scoped(
        api, api.open_sc_manager(nullptr, nullptr, kScManagerConnect | kScManagerCreateService));
    if (!manager) {
        return call_failed(api);
    }

    const auto own_path = seams.executable_path();
    if (!own_path) {
        return std::unexpected(platform::os_error_text(own_path.error()));
    }
    const auto name = terminated_text(service::kServiceName, "service name");
    if (!name) {
        return failure(name.error());
    }
    const auto display_name = terminated_text(kDisplayName, "display name");
    if (!display_name) {
        return failure(display_name.error());
    }
    const auto binary_path = terminated_text(
        quote_command_argument(platform::path_to_utf16(*own_path)), "executable path");
    if (!binary_path) {
        return failure(binary_path.error());
    }

    const platform::CreateServiceArguments arguments{
        .manager = manager.get(),
        .service_name = name->c_str(),
        .display_name = display_name->c_str(),
        .desired_access = kServiceStart | kServiceQueryStatus,
        .service_type = platform::scm::kServiceWin32OwnProcess,
        .start_type = kServiceAutoStart,
        .error_control = kServiceErrorNormal,
        .binary_path_name = binary_path->c_str(),
        .load_order_group = nullptr,
        .tag_id = nullptr,
        .dependencies = nullptr,
        .service_start_name = nullptr,  // LocalSystem
        .password = nullptr,
    };
    const ScopedScHandle service = scoped(api, api.create_service(arguments));
    if (!service) {
        return call_failed(api);
    }
    // A refused start keeps the registration: nothing already done is undone.
    if (!api.start_service(service.get(), 0, nullptr)) {
        return call_failed(api);
    }
    return {};
}

std::expected<void, std::string> uninstall_service() {
    return uninstall_service(default_install_seams());
}

std::expected<void, std::string> uninstall_service(const InstallSeams& seams) {
    ServiceManagerApi& api = seams.manager;
    const ScopedScHandle manager =
        scoped(api, api.open_sc_manager(nullptr, nullptr, kScManagerConnect));
    if (!manager) {
        return call_failed(api);
    }
    const auto name = terminated_text(service::kServiceName, "service name");
    if (!name) {
        return failure(name.error());
    }
    const ScopedScHandle service =
        scoped(api, api.open_service(manager.get(), name->c_str(),
                                     kDelete | kServiceStop | kServiceQueryStatus));
    if (!service) {
        return call_failed(api);
    }
    // A stopped service refuses the control, and a running one stops in its
    // own time; the deletion completes once it has, so neither is waited for.
    platform::ServiceStatus ignored{};
    (void)api.control_service(service.get(), platform::scm::kControlStop, &ignored);
    if (!api.delete_service(service.get())) {
        return call_failed(api);
    }
    return {};
}

std::expected<void, std::string> repair_service() {
    return repair_service(default_install_seams());
}

std::expected<void, std::string> repair_service(const InstallSeams& seams) {
    // Whatever was there (or nothing) is gone or going; its failure says nothing
    // about whether the install below can succeed.
    (void)uninstall_service(seams);
    // A registration marked for deletion blocks the create until the old
    // service has stopped, so the attempts wait that out.
    std::string last_failure;
    for (int attempt = 0; attempt < kRepairAttempts; ++attempt) {
        auto installed = install_service(seams);
        if (installed) {
            return {};
        }
        last_failure = std::move(installed.error());
        seams.sleep(kRepairPause);
    }
    return std::unexpected(std::move(last_failure));
}

}  // namespace tarsel::install
