#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <string>
#include <system_error>
#include <thread>

#include "platform/service_control.h"

namespace tarsel::platform {
namespace {

using namespace scm;

constexpr StatusHandle kStandInStatusHandle = 1;

// A development host has no service control manager to register with. Every
// call is refused the way Windows refuses a function it does not implement, so
// install, uninstall and repair fail with their usual console line instead of
// pretending to have registered something.
class RefusingServiceManager final : public ServiceManagerApi {
  public:
    ScHandle open_sc_manager(const char16_t*, const char16_t*, std::uint32_t) override { return 0; }
    ScHandle open_service(ScHandle, const char16_t*, std::uint32_t) override { return 0; }
    ScHandle create_service(const CreateServiceArguments&) override { return 0; }
    bool start_service(ScHandle, std::uint32_t, const char16_t**) override { return false; }
    bool control_service(ScHandle, std::uint32_t, ServiceStatus*) override { return false; }
    bool delete_service(ScHandle) override { return false; }
    bool close_service_handle(ScHandle) override { return false; }
    std::uint32_t last_error() override { return kErrorCallNotImplemented; }
};

// Plays the service control dispatcher for a helper started from a terminal:
// service_main runs on a thread of its own, Ctrl-C (SIGINT) arrives as STOP and
// SIGTERM as SHUTDOWN, and the call returns once the service reported stopped.
class StandInDispatcher final : public ServiceDispatcherApi {
  public:
    bool start_service_ctrl_dispatcher(const char16_t* service_name,
                                       ServiceMainFunction service_main) override {
        sigset_t waited;
        sigemptyset(&waited);
        sigaddset(&waited, SIGINT);
        sigaddset(&waited, SIGTERM);
        sigaddset(&waited, SIGUSR1);
        // Blocked before the service thread exists, so it and every thread it
        // starts inherit the mask: the signals then stay pending for sigwait
        // below instead of ending the process at their default action.
        sigset_t previous;
        pthread_sigmask(SIG_BLOCK, &waited, &previous);

        waiting_thread_ = pthread_self();
        handler_.store(nullptr);
        context_.store(nullptr);
        done_.store(false);
        std::u16string name(service_name);
        std::thread service;
        try {
            service = std::thread([this, &name, service_main] {
                char16_t* arguments[] = {name.data(), nullptr};
                service_main(1, arguments);
                // Also wakes the wait when service_main gave up without a
                // stopped report (a refused registration), which would
                // otherwise leave this call waiting for good.
                wake();
            });
        } catch (const std::system_error& error) {
            error_ = static_cast<std::uint32_t>(error.code().value());
            pthread_sigmask(SIG_SETMASK, &previous, nullptr);
            return false;
        }

        deliver_controls_until_done(waited);
        service.join();
        discard_pending(waited);
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
        return true;
    }

    StatusHandle register_service_ctrl_handler_ex(const char16_t*, ControlHandlerFunction handler,
                                                  void* context) override {
        context_.store(context, std::memory_order_relaxed);
        handler_.store(handler, std::memory_order_release);
        return kStandInStatusHandle;
    }

    bool set_service_status(StatusHandle, const ServiceStatus& status) override {
        if (status.current_state == kServiceStopped) {
            wake();
        }
        return true;
    }

    std::uint32_t last_error() override { return error_; }

  private:
    void wake() {
        done_.store(true, std::memory_order_release);
        pthread_kill(waiting_thread_, SIGUSR1);
    }

    void deliver_controls_until_done(const sigset_t& waited) {
        for (;;) {
            int signal_number = 0;
            if (sigwait(&waited, &signal_number) != 0) {
                continue;
            }
            if (done_.load(std::memory_order_acquire)) {
                return;
            }
            const ControlHandlerFunction handler = handler_.load(std::memory_order_acquire);
            // Before registration there is nobody to tell; the system's
            // manager likewise refuses controls to a service still starting.
            if (signal_number == SIGUSR1 || handler == nullptr) {
                continue;
            }
            handler(signal_number == SIGINT ? kControlStop : kControlShutdown, 0, nullptr,
                    context_.load(std::memory_order_relaxed));
        }
    }

    // A second Ctrl-C during the stop, or the second wake-up, would otherwise
    // take its default action (ending the process) once the mask is restored.
    static void discard_pending(const sigset_t& waited) {
        for (;;) {
            sigset_t pending;
            if (sigpending(&pending) != 0) {
                return;
            }
            if (sigismember(&pending, SIGINT) != 1 && sigismember(&pending, SIGTERM) != 1 &&
                sigismember(&pending, SIGUSR1) != 1) {
                return;
            }
            int signal_number = 0;
            sigwait(&waited, &signal_number);
        }
    }

    pthread_t waiting_thread_{};
    std::atomic<ControlHandlerFunction> handler_{nullptr};
    std::atomic<void*> context_{nullptr};
    std::atomic<bool> done_{false};
    std::uint32_t error_ = 0;
};

}  // namespace

ServiceManagerApi& system_service_manager() {
    static RefusingServiceManager manager;
    return manager;
}

ServiceDispatcherApi& system_service_dispatcher() {
    static StandInDispatcher dispatcher;
    return dispatcher;
}

}  // namespace tarsel::platform
