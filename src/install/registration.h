#pragma once

#include <chrono>
#include <cstdint>
#include <expected>
#include <functional>
#include <string>

#include "platform/environment.h"
#include "platform/service_control.h"

// Registers, removes and re-registers the helper's own service.
namespace tarsel::install {

// What the three operations reach the world through. The product passes the
// system service manager, the real own path and a real sleep.
struct InstallSeams {
    platform::ServiceManagerApi& manager;
    std::function<std::expected<platform::Path, std::int32_t>()> executable_path;
    std::function<void(std::chrono::milliseconds)> sleep;
};

[[nodiscard]] InstallSeams default_install_seams();

// Each returns success or the failure text shown after the console prefix.
[[nodiscard]] std::expected<void, std::string> install_service();
[[nodiscard]] std::expected<void, std::string> install_service(const InstallSeams& seams);
[[nodiscard]] std::expected<void, std::string> uninstall_service();
[[nodiscard]] std::expected<void, std::string> uninstall_service(const InstallSeams& seams);
[[nodiscard]] std::expected<void, std::string> repair_service();
[[nodiscard]] std::expected<void, std::string> repair_service(const InstallSeams& seams);

}  // namespace tarsel::install
