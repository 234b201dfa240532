#include "service/service_host.h"

#include <atomic>
#include <utility>

#include "exchange/command_loop.h"
#include "service/service_error.h"

namespace tarsel::service {
namespace {

using namespace platform::scm;

// The whole state of control_handler: the handler's reference to the flag.
struct HandlerContext {
    exchange::StopFlag stop;
    HandlerContext* next_kept = nullptr;
};

// A registered context is never freed. After STOP has been answered the
// service still reports running and accepting STOP and SHUTDOWN until the loop
// ends, so the dispatcher may deliver another control with the same context
// pointer; freeing the cell on the first STOP would make that a use after
// free. Only the flag reference is given up on STOP. The cells hang off this
// list so that they stay reachable (and leak checkers stay quiet); there is
// one per service start, so one per process in practice.
std::atomic<HandlerContext*> kept_contexts{nullptr};

void keep_until_exit(HandlerContext* context) {
    context->next_kept = kept_contexts.load(std::memory_order_relaxed);
    while (!kept_contexts.compare_exchange_weak(
        context->next_kept, context, std::memory_order_release, std::memory_order_relaxed)) {
    }
}

// service_main has the dispatcher's fixed signature, so the host it serves is
// handed over here by run_service before the dispatcher starts the service
// thread (thread creation orders the write before the read).
const ServiceHost* current_host = nullptr;

platform::ServiceStatus own_process_status(std::uint32_t state, std::uint32_t controls_accepted) {
    return platform::ServiceStatus{
        .service_type = kServiceWin32OwnProcess,
        .current_state = state,
        .controls_accepted = controls_accepted,
        .win32_exit_code = kNoError,
        .service_specific_exit_code = 0,
        .check_point = 0,
        .wait_hint = 0,
    };
}

}  // namespace

ServiceHost default_service_host() {
    return ServiceHost{
        .dispatcher = platform::system_service_dispatcher(),
        .command_loop = [](exchange::StopFlag stop) { exchange::command_loop(std::move(stop)); },
    };
}

std::expected<void, std::string> run_service() {
    const ServiceHost host = default_service_host();
    return run_service(host);
}

std::expected<void, std::string> run_service(const ServiceHost& host) {
    current_host = &host;
    const std::u16string name(kServiceName);
    const bool served = host.dispatcher.start_service_ctrl_dispatcher(name.c_str(), &service_main);
    std::expected<void, std::string> result;
    if (!served) {
        const ServiceError error = SystemCallFailed{host.dispatcher.last_error()};
        result = std::unexpected(service_error_text(error));
    }
    current_host = nullptr;
    return result;
}

void service_main(std::uint32_t /*argument_count*/, char16_t** /*arguments*/) {
    platform::ServiceDispatcherApi& dispatcher = current_host->dispatcher;
    const auto& command_loop = current_host->command_loop;

    exchange::StopFlag stop = exchange::StopFlag::create();
    auto* context = new HandlerContext{.stop = stop};
    const std::u16string name(kServiceName);
    const platform::StatusHandle status =
        dispatcher.register_service_ctrl_handler_ex(name.c_str(), &control_handler, context);
    if (status == 0) {
        // Nobody can call the handler with this context, so it goes now.
        context->stop.release();
        delete context;
        stop.release();
        return;
    }
    keep_until_exit(context);

    // A refused report is not acted on: the loop runs regardless.
    (void)dispatcher.set_service_status(
        status, own_process_status(kServiceRunning, kAcceptStop | kAcceptShutdown));
    command_loop(std::move(stop));
    (void)dispatcher.set_service_status(status, own_process_status(kServiceStopped, 0));
}

std::uint32_t control_handler(std::uint32_t control, std::uint32_t /*event_type*/,
                              void* /*event_data*/, void* context) {
    switch (control) {
        case kControlStop:
        case kControlShutdown: {
            // The dispatcher calls the handler on one thread only, so the check
            // and the release cannot interleave with another control. A second
            // STOP finds the reference already given up and must not touch the
            // flag, which the loop may have freed by then.
            exchange::StopFlag& stop = static_cast<HandlerContext*>(context)->stop;
            if (stop.holds_record()) {
                stop.set();
                stop.release();
            }
            return kNoError;
        }
        case kControlInterrogate:
            return kNoError;
        default:
            return kErrorCallNotImplemented;
    }
}

}  // namespace tarsel::service
