#include "service/service_host.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <ostream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/text.h"
#include "service/service_error.h"

namespace tarsel::platform {

void PrintTo(const ServiceStatus& s, std::ostream* out) {
    *out << "{type " << s.service_type << ", state " << s.current_state << ", accepted "
         << s.controls_accepted << ", exit " << s.win32_exit_code << ", specific "
         << s.service_specific_exit_code << ", checkpoint " << s.check_point << ", wait hint "
         << s.wait_hint << "}";
}

}  // namespace tarsel::platform

namespace {

using namespace tarsel;
using platform::ServiceStatus;
using platform::StatusHandle;

constexpr StatusHandle kStatusHandle = 0x5157;

const ServiceStatus kRunning{.service_type = 0x10,
                             .current_state = 4,
                             .controls_accepted = 5,
                             .win32_exit_code = 0,
                             .service_specific_exit_code = 0,
                             .check_point = 0,
                             .wait_hint = 0};
const ServiceStatus kStopped{.service_type = 0x10,
                             .current_state = 1,
                             .controls_accepted = 0,
                             .win32_exit_code = 0,
                             .service_specific_exit_code = 0,
                             .check_point = 0,
                             .wait_hint = 0};

std::string utf8(const char16_t* text) {
    return platform::utf16_to_utf8_lossy(text);
}

// Stands in for the service control dispatcher and records what it was given.
// By default it calls service_main on the caller's thread, so a test's loop
// body can send controls through the registered handler in a known order.
// With `threaded` it behaves like the system's dispatcher instead: service_main
// runs on a thread of its own and the controls come from the calling thread
// once the service has reported running.
class FakeDispatcher final : public platform::ServiceDispatcherApi {
  public:
    bool refuse_connection = false;
    bool refuse_registration = false;
    std::set<std::size_t> refused_reports;  // counted from 1
    bool threaded = false;
    std::vector<std::uint32_t> controls_once_running;  // threaded only

    std::vector<std::string> dispatcher_names;
    std::vector<std::string> registration_names;
    int service_main_calls = 0;
    platform::ControlHandlerFunction handler = nullptr;
    void* context = nullptr;
    std::vector<std::uint32_t> answers;  // threaded only

    bool start_service_ctrl_dispatcher(const char16_t* service_name,
                                       platform::ServiceMainFunction service_main) override {
        dispatcher_names.push_back(utf8(service_name));
        if (refuse_connection) {
            error_ = 1063;
            return false;
        }
        // Start parameters after the name are passed and must change nothing.
        std::u16string name(service_name);
        std::u16string parameter = u"--ignored";
        auto run = [&] {
            ++service_main_calls;
            char16_t* arguments[] = {name.data(), parameter.data(), nullptr};
            service_main(2, arguments);
        };
        if (!threaded) {
            run();
            return true;
        }
        std::thread service(run);
        {
            std::unique_lock lock(mutex_);
            changed_.wait(lock, [&] { return !statuses_.empty(); });
        }
        for (std::uint32_t control : controls_once_running) {
            answers.push_back(send(control));
        }
        {
            std::unique_lock lock(mutex_);
            changed_.wait(lock, [&] { return statuses_.back().second.current_state == 1; });
        }
        service.join();
        return true;
    }

    StatusHandle register_service_ctrl_handler_ex(const char16_t* service_name,
                                                  platform::ControlHandlerFunction h,
                                                  void* c) override {
        registration_names.push_back(utf8(service_name));
        if (refuse_registration) {
            error_ = 1063;
            return 0;
        }
        handler = h;
        context = c;
        return kStatusHandle;
    }

    bool set_service_status(StatusHandle handle, const ServiceStatus& status) override {
        std::lock_guard lock(mutex_);
        statuses_.emplace_back(handle, status);
        changed_.notify_all();
        return !refused_reports.contains(statuses_.size());
    }

    std::uint32_t last_error() override { return error_; }

    std::uint32_t send(std::uint32_t control) {
        int event_data = 0;
        return handler(control, 0x8000, &event_data, context);
    }

    std::vector<ServiceStatus> statuses() {
        std::lock_guard lock(mutex_);
        std::vector<ServiceStatus> reported;
        for (const auto& [handle, status] : statuses_) {
            EXPECT_EQ(handle, kStatusHandle);
            reported.push_back(status);
        }
        return reported;
    }

  private:
    std::uint32_t error_ = 0;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::pair<StatusHandle, ServiceStatus>> statuses_;
};

TEST(ServiceError, Texts) {
    EXPECT_EQ(service::service_error_text(service::SystemCallFailed{1063}),
              "IO error in winapi call");
    EXPECT_EQ(service::service_error_text(service::SystemCallFailed{0}), "IO error in winapi call");
    EXPECT_EQ(service::service_error_text(service::EmbeddedNul{"display name"}),
              "display name contains a nul byte");
}

TEST(ServiceMain, ReportsRunningBeforeTheLoopAndStoppedAfterIt) {
    FakeDispatcher dispatcher;
    std::vector<ServiceStatus> reported_at_loop_start;
    int loop_runs = 0;
    const service::ServiceHost host{dispatcher, [&](exchange::StopFlag stop) {
                                        ++loop_runs;
                                        reported_at_loop_start = dispatcher.statuses();
                                        EXPECT_FALSE(stop.is_set());
                                        EXPECT_EQ(dispatcher.send(1), 0u);
                                        EXPECT_TRUE(stop.is_set());
                                    }};
    const auto result = service::run_service(host);
    ASSERT_TRUE(result.has_value()) << result.error();

    EXPECT_EQ(dispatcher.dispatcher_names, std::vector<std::string>{"TarselHelper"});
    EXPECT_EQ(dispatcher.registration_names, std::vector<std::string>{"TarselHelper"});
    EXPECT_EQ(dispatcher.service_main_calls, 1);
    EXPECT_EQ(loop_runs, 1);
    EXPECT_EQ(reported_at_loop_start, std::vector<ServiceStatus>{kRunning});
    EXPECT_EQ(dispatcher.statuses(), (std::vector<ServiceStatus>{kRunning, kStopped}));
}

TEST(ControlHandler, AnswersByControlCodeAlone) {
    struct Row {
        const char* desc;
        std::uint32_t control;
        std::uint32_t answer;
        bool stops;
    };
    const Row rows[] = {
        {"STOP", 1, 0, true},
        {"SHUTDOWN", 5, 0, true},
        {"INTERROGATE", 4, 0, false},
        {"PAUSE", 2, 120, false},
        {"CONTINUE", 3, 120, false},
        {"PARAMCHANGE", 6, 120, false},
        {"NETBINDADD", 7, 120, false},
        {"NETBINDDISABLE", 10, 120, false},
        {"DEVICEEVENT", 11, 120, false},
        {"HARDWAREPROFILECHANGE", 12, 120, false},
        {"POWEREVENT", 13, 120, false},
        {"SESSIONCHANGE", 14, 120, false},
        {"PRESHUTDOWN", 15, 120, false},
        {"TIMECHANGE", 16, 120, false},
        {"TRIGGEREVENT", 32, 120, false},
        {"undefined 17", 17, 120, false},
        {"user-defined 128", 128, 120, false},
        {"user-defined 200", 200, 120, false},
        {"user-defined 255", 255, 120, false},
        {"zero", 0, 120, false},
        {"0xFFFFFFFF", 0xFFFFFFFF, 120, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.desc);
        FakeDispatcher dispatcher;
        std::uint32_t answer = 0xDEAD;
        bool flag_set = false;
        bool wake_raised = false;
        long holders = 0;
        std::size_t reports_after_control = 0;
        const service::ServiceHost host{dispatcher, [&](exchange::StopFlag stop) {
                                            answer = dispatcher.send(row.control);
                                            flag_set = stop.is_set();
                                            wake_raised = stop.wake().is_raised();
                                            holders = stop.holders();
                                            reports_after_control = dispatcher.statuses().size();
                                        }};
        ASSERT_TRUE(service::run_service(host).has_value());
        EXPECT_EQ(answer, row.answer);
        EXPECT_EQ(flag_set, row.stops);
        // What cuts the loop's wait short; it must not go up for anything else.
        EXPECT_EQ(wake_raised, row.stops);
        // STOP and SHUTDOWN give up the handler's reference; nothing else does.
        EXPECT_EQ(holders, row.stops ? 1 : 2);
        EXPECT_EQ(reports_after_control, 1u) << "the handler reports no status";
    }
}

// Run under AddressSanitizer: the handler must not touch the flag record the
// loop freed, nor anything else released by the first STOP.
TEST(ControlHandler, ControlsAfterStopTouchNothingReleased) {
    FakeDispatcher dispatcher;
    std::vector<std::uint32_t> answers_while_running;
    long holders_after_repeats = 0;
    const service::ServiceHost host{
        dispatcher, [&](exchange::StopFlag stop) {
            for (std::uint32_t control : {1u, 1u, 5u, 4u, 2u}) {
                answers_while_running.push_back(dispatcher.send(control));
            }
            holders_after_repeats = stop.holders();
            EXPECT_TRUE(stop.is_set());
        }};
    ASSERT_TRUE(service::run_service(host).has_value());
    EXPECT_EQ(answers_while_running, (std::vector<std::uint32_t>{0, 0, 0, 0, 120}));
    EXPECT_EQ(holders_after_repeats, 1);

    // The loop has returned and let go of the last reference: the record is
    // gone, yet the dispatcher may still hold the context.
    std::vector<std::uint32_t> answers_after_loop;
    for (std::uint32_t control : {1u, 5u, 4u, 2u, 200u}) {
        answers_after_loop.push_back(dispatcher.send(control));
    }
    EXPECT_EQ(answers_after_loop, (std::vector<std::uint32_t>{0, 0, 0, 120, 120}));
    EXPECT_EQ(dispatcher.statuses(), (std::vector<ServiceStatus>{kRunning, kStopped}));
}

// The StopFlag record and the context cell of the refused registration must
// be freed as well; LeakSanitizer checks that in the sanitizer build.
TEST(ServiceMain, RefusedRegistrationReportsNothingAndRunsNoLoop) {
    FakeDispatcher dispatcher;
    dispatcher.refuse_registration = true;
    int loop_runs = 0;
    const service::ServiceHost host{dispatcher, [&](exchange::StopFlag) { ++loop_runs; }};
    ASSERT_TRUE(service::run_service(host).has_value());
    EXPECT_EQ(dispatcher.registration_names, std::vector<std::string>{"TarselHelper"});
    EXPECT_EQ(loop_runs, 0);
    EXPECT_EQ(dispatcher.statuses(), std::vector<ServiceStatus>{});
}

TEST(ServiceMain, RefusedRunningReportStillRunsTheLoopAndReportsStopped) {
    FakeDispatcher dispatcher;
    dispatcher.refused_reports = {1};
    int loop_runs = 0;
    const service::ServiceHost host{dispatcher, [&](exchange::StopFlag) { ++loop_runs; }};
    ASSERT_TRUE(service::run_service(host).has_value());
    EXPECT_EQ(loop_runs, 1);
    EXPECT_EQ(dispatcher.statuses(), (std::vector<ServiceStatus>{kRunning, kStopped}));
}

TEST(RunService, RefusedConnectionGivesTheIoErrorText) {
    FakeDispatcher dispatcher;
    dispatcher.refuse_connection = true;
    int loop_runs = 0;
    const service::ServiceHost host{dispatcher, [&](exchange::StopFlag) { ++loop_runs; }};
    const auto result = service::run_service(host);
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error(), "IO error in winapi call");
    EXPECT_EQ(dispatcher.dispatcher_names, std::vector<std::string>{"TarselHelper"});
    EXPECT_EQ(dispatcher.service_main_calls, 0);
    EXPECT_EQ(loop_runs, 0);
    EXPECT_EQ(dispatcher.statuses(), std::vector<ServiceStatus>{});
}

// The system's arrangement: the loop polls on the service thread while the
// control arrives on the dispatcher's thread.
TEST(RunService, ControlFromTheDispatcherThreadEndsTheLoop) {
    for (std::uint32_t control : {1u, 5u}) {
        SCOPED_TRACE("control " + std::to_string(control));
        FakeDispatcher dispatcher;
        dispatcher.threaded = true;
        dispatcher.controls_once_running = {4, control};
        std::thread::id loop_thread;
        const service::ServiceHost host{
            dispatcher, [&](exchange::StopFlag stop) {
                loop_thread = std::this_thread::get_id();
                while (!stop.is_set()) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                }
            }};
        const auto result = service::run_service(host);
        ASSERT_TRUE(result.has_value()) << result.error();
        EXPECT_NE(loop_thread, std::this_thread::get_id());
        EXPECT_EQ(dispatcher.answers, (std::vector<std::uint32_t>{0, 0}));
        EXPECT_EQ(dispatcher.statuses(), (std::vector<ServiceStatus>{kRunning, kStopped}));
    }
}

}  // namespace
