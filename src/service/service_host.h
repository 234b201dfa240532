#pragma once

#include <cstdint>
#include <expected>
#include <functional>
#include <string>
#include <string_view>

#include "exchange/stop_flag.h"
#include "platform/service_control.h"

// Makes the process the Windows service TarselHelper.
namespace tarsel::service {

inline constexpr std::u16string_view kServiceName = u"TarselHelper";

// What the service reaches the world through: the dispatcher calls and the
// command loop. The product uses the system dispatcher and the real loop.
struct ServiceHost {
    platform::ServiceDispatcherApi& dispatcher;
    std::function<void(exchange::StopFlag)> command_loop;
};

[[nodiscard]] ServiceHost default_service_host();

// Hands the calling thread to the dispatcher until the service has stopped.
// The failure is the text of the ServiceError of a refused connection.
[[nodiscard]] std::expected<void, std::string> run_service();
[[nodiscard]] std::expected<void, std::string> run_service(const ServiceHost& host);

// Called by the dispatcher only, on a thread of its own.
void service_main(std::uint32_t argument_count, char16_t** arguments);

// Called by the dispatcher only, on the thread inside run_service.
std::uint32_t control_handler(std::uint32_t control, std::uint32_t event_type, void* event_data,
                              void* context);

}  // namespace tarsel::service
