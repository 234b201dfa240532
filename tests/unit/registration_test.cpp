#include "install/registration.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <initializer_list>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "platform/process.h"
#include "platform/text.h"

namespace {

using namespace tarsel;
using platform::ScHandle;

const std::string kIoError = "IO error in winapi call";
const std::u16string kOwnPath = u"C:\\Program Files\\Tarsel VPN\\tarsel-helper.exe";

std::string hex(std::uint64_t value) {
    std::ostringstream out;
    out << "0x" << std::hex << value;
    return out.str();
}

std::string text_of(const char16_t* text) {
    if (text == nullptr) {
        return "null";
    }
    std::string quoted = "\"";
    quoted += platform::utf16_to_utf8_lossy(text);
    quoted += '"';
    return quoted;
}

// "(a, b, c)": the values of one call as the log shows them.
std::string values(std::initializer_list<std::string> parts) {
    std::string joined = "(";
    for (const std::string& part : parts) {
        if (joined.size() > 1) {
            joined += ", ";
        }
        joined += part;
    }
    joined += ')';
    return joined;
}

// Stands in for the service control manager and writes every call, with the
// values it received and what it answered, into one log. `refuse` says with
// which error code the nth call (counted from 1) of a function is refused;
// 0 lets it succeed. It also checks the handle discipline: every handle closed
// once, and no manager handle closed while a service opened through it is.
class RecordingServiceManager final : public platform::ServiceManagerApi {
  public:
    std::function<std::uint32_t(std::string_view call, int nth)> refuse = [](std::string_view,
                                                                             int) { return 0u; };
    std::vector<std::string> log;
    std::vector<std::string> handle_faults;

    ScHandle open_sc_manager(const char16_t* machine_name, const char16_t* database_name,
                             std::uint32_t desired_access) override {
        const ScHandle handle = 0x100 + ++managers_opened_;
        return opened(
            handle, 0,
            answer("open_sc_manager",
                   values({text_of(machine_name), text_of(database_name), hex(desired_access)}),
                   handle));
    }

    ScHandle open_service(ScHandle manager, const char16_t* service_name,
                          std::uint32_t desired_access) override {
        const ScHandle handle = 0x200 + ++services_opened_;
        return opened(
            handle, manager,
            answer("open_service",
                   values({hex(manager), text_of(service_name), hex(desired_access)}), handle));
    }

    ScHandle create_service(const platform::CreateServiceArguments& a) override {
        const ScHandle handle = 0x200 + ++services_opened_;
        const std::string thirteen =
            values({hex(a.manager), text_of(a.service_name), text_of(a.display_name),
                    hex(a.desired_access), hex(a.service_type), hex(a.start_type),
                    hex(a.error_control), text_of(a.binary_path_name), text_of(a.load_order_group),
                    a.tag_id == nullptr ? "null" : "tag", text_of(a.dependencies),
                    text_of(a.service_start_name), text_of(a.password)});
        return opened(handle, a.manager, answer("create_service", thirteen, handle));
    }

    bool start_service(ScHandle service, std::uint32_t argument_count,
                       const char16_t** arguments) override {
        return answer("start_service",
                      values({hex(service), std::to_string(argument_count),
                              arguments == nullptr ? "null" : "vector"}),
                      1) != 0;
    }

    bool control_service(ScHandle service, std::uint32_t control,
                         platform::ServiceStatus* status) override {
        const std::string record = status == nullptr                      ? "null"
                                   : *status == platform::ServiceStatus{} ? "zeroed"
                                                                          : "not zeroed";
        return answer("control_service", values({hex(service), std::to_string(control), record}),
                      1) != 0;
    }

    bool delete_service(ScHandle service) override {
        return answer("delete_service", values({hex(service)}), 1) != 0;
    }

    bool close_service_handle(ScHandle handle) override {
        log.push_back("close_service_handle(" + hex(handle) + ")");
        if (open_.erase(handle) == 0) {
            handle_faults.push_back("closed twice or never opened: " + hex(handle));
        }
        for (const auto& [service, manager] : open_) {
            if (manager == handle) {
                handle_faults.push_back("manager " + hex(handle) + " closed before service " +
                                        hex(service));
            }
        }
        return true;
    }

    std::uint32_t last_error() override {
        log.push_back("last_error() -> " + std::to_string(last_error_));
        return last_error_;
    }

    [[nodiscard]] bool every_handle_closed() const { return open_.empty(); }

    [[nodiscard]] int calls(std::string_view function) const {
        const auto found = counts_.find(std::string(function));
        return found == counts_.end() ? 0 : found->second;
    }

  private:
    ScHandle opened(ScHandle handle, ScHandle manager, ScHandle answered) {
        if (answered != 0) {
            open_[handle] = manager;
        }
        return answered;
    }

    std::uint64_t answer(const std::string& function, const std::string& call_values,
                         std::uint64_t success) {
        const int nth = ++counts_[function];
        if (const std::uint32_t code = refuse(function, nth); code != 0) {
            last_error_ = code;
            log.push_back(function + call_values + " -> refused " + std::to_string(code));
            return 0;
        }
        log.push_back(function + call_values + " -> " + (success == 1 ? "ok" : hex(success)));
        return success;
    }

    int managers_opened_ = 0;
    int services_opened_ = 0;
    std::uint32_t last_error_ = 0;
    std::map<std::string, int> counts_;
    std::map<ScHandle, ScHandle> open_;  // handle -> the manager it came from (0 for managers)
};

// Refuses every call of one function with one code.
auto refuse_all(std::string function, std::uint32_t code) {
    return [function, code](std::string_view call, int) { return call == function ? code : 0u; };
}

struct Fixture {
    RecordingServiceManager manager;
    std::function<std::expected<platform::Path, std::int32_t>()> own_path = [] {
        return platform::Path(kOwnPath);
    };
    install::InstallSeams seams{
        .manager = manager,
        .executable_path = [this] { return own_path(); },
        .sleep =
            [this](std::chrono::milliseconds pause) {
                manager.log.push_back("sleep(" + std::to_string(pause.count()) + "ms)");
            },
    };
};

void expect_result(const std::expected<void, std::string>& result,
                   const std::optional<std::string>& failure) {
    if (failure) {
        ASSERT_FALSE(result.has_value());
        EXPECT_EQ(result.error(), *failure);
    } else {
        EXPECT_TRUE(result.has_value()) << result.error();
    }
}

const std::string kCreateValues =
    R"(create_service(0x101, "TarselHelper", "TarselVPN Helper", 0x14, 0x10, 0x2, 0x1, )"
    R"(""C:\Program Files\Tarsel VPN\tarsel-helper.exe"", null, null, null, null, null))";

TEST(InstallService, CallSequenceOnEveryPath) {
    struct Row {
        const char* desc;
        std::function<std::uint32_t(std::string_view, int)> refuse;
        std::optional<std::int32_t> own_path_error;
        std::u16string own_path;
        std::optional<std::string> failure;
        std::vector<std::string> log;
    };
    const std::string nul_path_failure = "executable path contains a nul byte";
    const Row rows[] = {
        {"success: create with the thirteen values, start, close service then manager",
         nullptr,
         std::nullopt,
         kOwnPath,
         std::nullopt,
         {"open_sc_manager(null, null, 0x3) -> 0x101", kCreateValues + " -> 0x201",
          "start_service(0x201, 0, null) -> ok", "close_service_handle(0x201)",
          "close_service_handle(0x101)"}},
        {"manager refused (no administrative rights)",
         refuse_all("open_sc_manager", 5),
         std::nullopt,
         kOwnPath,
         kIoError,
         {"open_sc_manager(null, null, 0x3) -> refused 5", "last_error() -> 5"}},
        {"own path unknown: system text, manager closed, nothing created",
         nullptr,
         2,
         kOwnPath,
         platform::os_error_text(2),
         {"open_sc_manager(null, null, 0x3) -> 0x101", "close_service_handle(0x101)"}},
        {"path with a NUL refused before the create",
         nullptr,
         std::nullopt,
         std::u16string(u"C:\\a\0b.exe", 10),
         nul_path_failure,
         {"open_sc_manager(null, null, 0x3) -> 0x101", "close_service_handle(0x101)"}},
        {"path without blanks registered unquoted",
         nullptr,
         std::nullopt,
         u"C:\\Tarsel\\helper.exe",
         std::nullopt,
         {"open_sc_manager(null, null, 0x3) -> 0x101",
          R"(create_service(0x101, "TarselHelper", "TarselVPN Helper", 0x14, 0x10, 0x2, 0x1, )"
          R"("C:\Tarsel\helper.exe", null, null, null, null, null) -> 0x201)",
          "start_service(0x201, 0, null) -> ok", "close_service_handle(0x201)",
          "close_service_handle(0x101)"}},
        {"service exists: create refused, no start",
         refuse_all("create_service", 1073),
         std::nullopt,
         kOwnPath,
         kIoError,
         {"open_sc_manager(null, null, 0x3) -> 0x101", kCreateValues + " -> refused 1073",
          "last_error() -> 1073", "close_service_handle(0x101)"}},
        {"start refused: registration stays, code read before the closes",
         refuse_all("start_service", 1053),
         std::nullopt,
         kOwnPath,
         kIoError,
         {"open_sc_manager(null, null, 0x3) -> 0x101", kCreateValues + " -> 0x201",
          "start_service(0x201, 0, null) -> refused 1053", "last_error() -> 1053",
          "close_service_handle(0x201)", "close_service_handle(0x101)"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.desc);
        Fixture f;
        if (row.refuse) {
            f.manager.refuse = row.refuse;
        }
        f.own_path = [&row]() -> std::expected<platform::Path, std::int32_t> {
            if (row.own_path_error) {
                return std::unexpected(*row.own_path_error);
            }
            return platform::Path(row.own_path);
        };
        expect_result(install::install_service(f.seams), row.failure);
        EXPECT_EQ(f.manager.log, row.log);
        EXPECT_TRUE(f.manager.every_handle_closed());
        EXPECT_EQ(f.manager.handle_faults, std::vector<std::string>{});
    }
}

TEST(UninstallService, CallSequenceOnEveryPath) {
    const std::string open_service = R"(open_service(0x101, "TarselHelper", 0x10024))";
    struct Row {
        const char* desc;
        std::function<std::uint32_t(std::string_view, int)> refuse;
        std::optional<std::string> failure;
        std::vector<std::string> log;
    };
    const Row rows[] = {
        {"running service: stop sent, not waited for, deleted",
         nullptr,
         std::nullopt,
         {"open_sc_manager(null, null, 0x1) -> 0x101", open_service + " -> 0x201",
          "control_service(0x201, 1, zeroed) -> ok", "delete_service(0x201) -> ok",
          "close_service_handle(0x201)", "close_service_handle(0x101)"}},
        {"stopped service: refused stop ignored, deletion succeeds",
         refuse_all("control_service", 1062),
         std::nullopt,
         {"open_sc_manager(null, null, 0x1) -> 0x101", open_service + " -> 0x201",
          "control_service(0x201, 1, zeroed) -> refused 1062", "delete_service(0x201) -> ok",
          "close_service_handle(0x201)", "close_service_handle(0x101)"}},
        {"manager refused",
         refuse_all("open_sc_manager", 5),
         kIoError,
         {"open_sc_manager(null, null, 0x1) -> refused 5", "last_error() -> 5"}},
        {"service does not exist",
         refuse_all("open_service", 1060),
         kIoError,
         {"open_sc_manager(null, null, 0x1) -> 0x101", open_service + " -> refused 1060",
          "last_error() -> 1060", "close_service_handle(0x101)"}},
        {"delete refused after the stop was sent",
         refuse_all("delete_service", 1072),
         kIoError,
         {"open_sc_manager(null, null, 0x1) -> 0x101", open_service + " -> 0x201",
          "control_service(0x201, 1, zeroed) -> ok", "delete_service(0x201) -> refused 1072",
          "last_error() -> 1072", "close_service_handle(0x201)", "close_service_handle(0x101)"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.desc);
        Fixture f;
        if (row.refuse) {
            f.manager.refuse = row.refuse;
        }
        expect_result(install::uninstall_service(f.seams), row.failure);
        EXPECT_EQ(f.manager.log, row.log);
        EXPECT_TRUE(f.manager.every_handle_closed());
        EXPECT_EQ(f.manager.handle_faults, std::vector<std::string>{});
    }
}

TEST(RepairService, NothingInstalledInstallsAtOnceWithoutPause) {
    Fixture f;
    f.manager.refuse = refuse_all("open_service", 1060);
    expect_result(install::repair_service(f.seams), std::nullopt);
    const std::vector<std::string> expected = {
        "open_sc_manager(null, null, 0x1) -> 0x101",
        R"(open_service(0x101, "TarselHelper", 0x10024) -> refused 1060)",
        "last_error() -> 1060",
        "close_service_handle(0x101)",
        "open_sc_manager(null, null, 0x3) -> 0x102",
        R"(create_service(0x102, "TarselHelper", "TarselVPN Helper", 0x14, 0x10, 0x2, 0x1, )"
        R"(""C:\Program Files\Tarsel VPN\tarsel-helper.exe"", null, null, null, null, null))"
        " -> 0x202",
        "start_service(0x202, 0, null) -> ok",
        "close_service_handle(0x202)",
        "close_service_handle(0x102)",
    };
    EXPECT_EQ(f.manager.log, expected);
}

// Splits the log after the uninstall step into install attempts, each ending
// in its pause (or at the end of the log).
std::vector<std::vector<std::string>> attempts_after_uninstall(
    const std::vector<std::string>& log) {
    std::vector<std::vector<std::string>> attempts;
    for (const std::string& line : log) {
        if (line.starts_with("open_sc_manager(null, null, 0x3)")) {
            attempts.emplace_back();
        }
        if (!attempts.empty()) {
            attempts.back().push_back(line);
        }
    }
    return attempts;
}

TEST(RepairService, EveryAttemptFailsSixtyAttemptsSixtyPausesLastText) {
    Fixture f;
    // The old registration stays marked for deletion throughout; the last
    // attempt fails differently so that its text is told apart from the rest.
    f.manager.refuse = refuse_all("create_service", 1072);
    int path_requests = 0;
    f.own_path = [&]() -> std::expected<platform::Path, std::int32_t> {
        if (++path_requests == 60) {
            return std::unexpected(3);
        }
        return platform::Path(kOwnPath);
    };
    expect_result(install::repair_service(f.seams), platform::os_error_text(3));

    const auto attempts = attempts_after_uninstall(f.manager.log);
    ASSERT_EQ(attempts.size(), 60u);
    for (std::size_t i = 0; i < 59; ++i) {
        SCOPED_TRACE("attempt " + std::to_string(i + 1));
        ASSERT_EQ(attempts[i].size(), 5u);
        EXPECT_TRUE(attempts[i][1].ends_with("-> refused 1072"));
        EXPECT_EQ(attempts[i].back(), "sleep(250ms)");
    }
    EXPECT_EQ(attempts[59],
              (std::vector<std::string>{"open_sc_manager(null, null, 0x3) -> 0x13d",
                                        "close_service_handle(0x13d)", "sleep(250ms)"}));
    EXPECT_EQ(std::count(f.manager.log.begin(), f.manager.log.end(), "sleep(250ms)"), 60);
    EXPECT_EQ(f.manager.calls("delete_service"), 1);
    EXPECT_TRUE(f.manager.every_handle_closed());
    EXPECT_EQ(f.manager.handle_faults, std::vector<std::string>{});
}

TEST(RepairService, FirstAttemptCreatesButStartRefusedThenCreateRefused) {
    Fixture f;
    f.manager.refuse = [](std::string_view call, int nth) -> std::uint32_t {
        if (call == "open_service") {
            return 1060;  // nothing installed beforehand
        }
        if (call == "start_service" && nth == 1) {
            return 1053;
        }
        if (call == "create_service" && nth > 1) {
            return 1073;  // the first attempt's registration stays
        }
        return 0;
    };
    expect_result(install::repair_service(f.seams), kIoError);

    const auto attempts = attempts_after_uninstall(f.manager.log);
    ASSERT_EQ(attempts.size(), 60u);
    EXPECT_EQ(attempts[0],
              (std::vector<std::string>{
                  "open_sc_manager(null, null, 0x3) -> 0x102",
                  R"(create_service(0x102, "TarselHelper", "TarselVPN Helper", 0x14, 0x10, 0x2, )"
                  R"(0x1, ""C:\Program Files\Tarsel VPN\tarsel-helper.exe"", null, null, null, )"
                  R"(null, null) -> 0x202)",
                  "start_service(0x202, 0, null) -> refused 1053", "last_error() -> 1053",
                  "close_service_handle(0x202)", "close_service_handle(0x102)", "sleep(250ms)"}));
    for (std::size_t i = 1; i < 60; ++i) {
        SCOPED_TRACE("attempt " + std::to_string(i + 1));
        ASSERT_EQ(attempts[i].size(), 5u);
        EXPECT_TRUE(attempts[i][1].ends_with("-> refused 1073"));
        EXPECT_EQ(attempts[i].back(), "sleep(250ms)");
    }
    EXPECT_EQ(f.manager.calls("create_service"), 60);
    EXPECT_EQ(f.manager.calls("start_service"), 1);
    EXPECT_EQ(f.manager.calls("delete_service"), 0);
    EXPECT_TRUE(f.manager.every_handle_closed());
    EXPECT_EQ(f.manager.handle_faults, std::vector<std::string>{});
}

}  // namespace
