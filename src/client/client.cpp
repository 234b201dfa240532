#include "client/client.h"

#include <limits>
#include <utility>
#include <vector>

#include "client/arguments.h"
#include "client/send.h"
#include "exchange/data_dir.h"
#include "exchange/documents.h"
#include "platform/console.h"
#include "platform/files.h"
#include "platform/process.h"
#include "platform/service_control.h"
#include "platform/text.h"
#include "service/service_host.h"

namespace tarsel::client {
namespace {

constexpr std::size_t kAnySize = std::numeric_limits<std::size_t>::max();

// Arguments arrive as UTF-8 on both systems; a plain std::string would be
// taken in the ANSI code page on Windows.
platform::Path path_from_utf8(std::string_view text) {
    return platform::Path(std::u8string(text.begin(), text.end()));
}

std::string json_string(std::string_view text) {
    std::string out;
    exchange::write_json_string(out, text);
    return out;
}

std::string command_line_text(const exchange::HelperCommand& command) {
    return "action=" + json_string(command.action) + " nonce=" + std::to_string(command.nonce);
}

int check(const Invocation& invocation, const ClientSeams& seams) {
    const auto command = exchange::examine_command(path_from_utf8(invocation.file));
    if (!command) {
        seams.write_output("rejected: " + exchange::describe_rejection(command.error()) + "\n");
        return kExitFailed;
    }
    seams.write_output("accepted: " + command_line_text(*command) + "\n");
    return kExitOk;
}

// The file-level reasons in the words status has always used; a text the
// reader rejected says which rule failed and where.
std::string why_no_command(const platform::Path& path, const exchange::ParseFailure& failure) {
    switch (failure.rule) {
        case exchange::Rejection::cannot_open:
            return platform::path_exists(path) ? "command.json cannot be opened"
                                               : "command.json does not exist";
        case exchange::Rejection::not_a_plain_file:
            return "command.json is not a plain file";
        case exchange::Rejection::cannot_read:
            return "command.json cannot be read";
        case exchange::Rejection::too_large:
            return "command.json is larger than the helper reads";
        case exchange::Rejection::not_utf8:
            return "command.json is not valid UTF-8";
        default:
            return "rejected: " + exchange::describe_rejection(failure);
    }
}

std::string command_status(const platform::Path& data_dir) {
    const platform::Path path = platform::join_path(data_dir, "command.json");
    const auto command = exchange::examine_command(path);
    if (!command) {
        return "command: none (" + why_no_command(path, command.error()) + ")\n";
    }
    std::string line = "command: " + command_line_text(*command);
    if (command->nonce == 0) {
        line += " (nonce 0 is never answered)";
    }
    return line + "\n";
}

std::string result_status(const platform::Path& data_dir) {
    const platform::Path path = platform::join_path(data_dir, "result.json");
    const auto bytes = platform::read_whole_file(path, kAnySize);
    if (!bytes) {
        return platform::path_exists(path) ? "result: none (result.json cannot be read)\n"
                                           : "result: none (result.json does not exist)\n";
    }
    const auto result = exchange::parse_result(*bytes);
    if (!result) {
        return "result: none (result.json is not a result document; the helper may be writing "
               "it)\n";
    }
    if (result->ok) {
        return "result: nonce=" + std::to_string(result->nonce) + " ok\n";
    }
    return "result: nonce=" + std::to_string(result->nonce) +
           " failed, error=" + json_string(result->error.value_or("")) + "\n";
}

std::string state_name(std::uint32_t state) {
    switch (state) {
        case platform::scm::kServiceStopped:
            return "stopped";
        case platform::scm::kServiceStartPending:
            return "starting";
        case platform::scm::kServiceStopPending:
            return "stopping";
        case platform::scm::kServiceRunning:
            return "running";
        case platform::scm::kServiceContinuePending:
            return "continuing";
        case platform::scm::kServicePausePending:
            return "pausing";
        case platform::scm::kServicePaused:
            return "paused";
        default:
            return "in state " + std::to_string(state);
    }
}

std::string service_status(const platform::ServiceQuery& query) {
    const std::string name = platform::utf16_to_utf8_lossy(service::kServiceName);
    switch (query.outcome) {
        case platform::ServiceQuery::Outcome::state:
            return "service: " + name + " is " + state_name(query.code) + "\n";
        case platform::ServiceQuery::Outcome::not_installed:
            return "service: " + name + " is not installed\n";
        case platform::ServiceQuery::Outcome::no_service_manager:
            return "service: no service manager on this system; run tarsel-helper in the "
                   "foreground instead\n";
        case platform::ServiceQuery::Outcome::failed:
            return "service: the service manager cannot be asked: " +
                   platform::os_error_text(static_cast<std::int32_t>(query.code)) + "\n";
    }
    return {};
}

int status(const platform::Path& data_dir, const ClientSeams& seams) {
    seams.write_output("data directory: " + platform::path_to_utf8(data_dir) + "\n" +
                       command_status(data_dir) + result_status(data_dir) +
                       service_status(seams.query_service()));
    return kExitOk;
}

int request(std::string_view action, const platform::Path& data_dir, std::chrono::seconds timeout,
            const ClientSeams& seams) {
    SendSeams send{seams.random, seams.now, seams.sleep, nullptr, seams.watch_result};
    if (seams.standard_error_is_terminal()) {
        send.show_progress = seams.write_error;
    }
    const SendReport report = send_request(data_dir, action, timeout, send);
    switch (report.status) {
        case SendStatus::ok:
            seams.write_output(std::string(action) + ": ok (nonce " + std::to_string(report.nonce) +
                               ")\n");
            return kExitOk;
        case SendStatus::failed:
            seams.write_error("tarselctl: " + std::string(action) + " failed: " +
                              (report.text.empty() ? "(no error text)" : report.text) + "\n");
            return kExitFailed;
        case SendStatus::timeout:
            seams.write_error("tarselctl: " + report.text +
                              " \"tarselctl status\" shows the "
                              "service's state.\n");
            return kExitNoAnswer;
        case SendStatus::local_error:
            seams.write_error("tarselctl: " + report.text + "\n");
            return kExitFailed;
    }
    return kExitFailed;
}

}  // namespace

ClientSeams default_client_seams() {
    // The request's world is the client library's own.
    SendSeams send = default_send_seams();
    return ClientSeams{
        .default_data_dir = [] { return exchange::data_dir(); },
        .random = std::move(send.random),
        .now = std::move(send.now),
        .sleep = std::move(send.sleep),
        .watch_result = std::move(send.watch_result),
        .standard_error_is_terminal = [] { return platform::standard_error_is_terminal(); },
        .query_service = [] { return platform::query_service_state(service::kServiceName); },
        .write_output = [](std::string_view text) { platform::write_standard_output(text); },
        .write_error = [](std::string_view text) { platform::write_standard_error(text); },
    };
}

int run_client(std::span<const std::string> arguments, const ClientSeams& seams) {
    const auto invocation = parse_arguments(arguments);
    if (!invocation) {
        seams.write_error("tarselctl: " + invocation.error() + "\n\n" + usage_text());
        return kExitUsage;
    }
    const platform::Path data_dir =
        invocation->dir ? path_from_utf8(*invocation->dir) : seams.default_data_dir();
    switch (invocation->verb) {
        case Verb::help:
            seams.write_output(usage_text());
            return kExitOk;
        case Verb::check:
            return check(*invocation, seams);
        case Verb::status:
            return status(data_dir, seams);
        case Verb::up:
            return request("up", data_dir, invocation->timeout, seams);
        case Verb::down:
            return request("down", data_dir, invocation->timeout, seams);
    }
    return kExitUsage;
}

}  // namespace tarsel::client
