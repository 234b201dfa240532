#include "exchange/runner.h"

#include <vector>

#include "exchange/command_line.h"
#include "exchange/data_dir.h"
#include "platform/files.h"
#include "platform/text.h"

namespace tarsel::exchange {
namespace {

constexpr std::string_view kProgramName = "wireguard.exe";
constexpr std::string_view kConfigurationName = "tarsel.conf";
constexpr std::string_view kTunnelName = "tarsel";
constexpr std::string_view kConfigurationNotPlain =
    "tarsel.conf is not a plain file in the data directory";

ActionOutcome failure(std::string text) {
    return std::unexpected(std::move(text));
}

}  // namespace

RunnerContext current_runner_context() {
    return {platform::executable_path(), data_dir()};
}

ActionOutcome run_tunnel_action(std::string_view action) {
    return run_tunnel_action(action, current_runner_context());
}

ActionOutcome run_tunnel_action(std::string_view action, const RunnerContext& context) {
    // Locating comes before the action check, so a helper without wireguard.exe
    // says so whatever it was asked to do.
    auto program = locate_wireguard(context.helper_path);
    if (!program) {
        return failure(std::move(program.error()));
    }
    const platform::Path configuration_path =
        platform::join_path(context.data_dir, kConfigurationName);

    std::vector<std::string> arguments;
    if (action == "up") {
        // wireguard.exe reads the file with the helper's rights: a link, or a
        // second name of a file elsewhere, would let a user have it read a
        // file they may not. A missing file is wireguard.exe's to report.
        if (platform::check_handed_file(configuration_path) == platform::HandedFile::not_plain) {
            return failure(std::string(kConfigurationNotPlain));
        }
        arguments = {"/installtunnelservice", platform::path_to_utf8(configuration_path)};
    } else if (action == "down") {
        arguments = {"/uninstalltunnelservice", std::string(kTunnelName)};
    } else {
        return failure("unknown action: " + std::string(action));
    }

    auto output = run_wireguard(*program, arguments);
    if (!output) {
        return failure("spawn wireguard.exe: " + platform::os_error_text(output.error()));
    }
    if (output->exit_code == 0) {
        return {};
    }
    const std::string reason = platform::utf8_lossy(output->standard_error);
    return failure(std::string(platform::trim_unicode_white_space(reason)));
}

// Nothing is cached: a wireguard.exe installed after the helper started is
// found by the next action.
std::expected<platform::Path, std::string> locate_wireguard(
    const std::expected<platform::Path, std::int32_t>& helper_path) {
    if (!helper_path || !helper_path->has_parent_path()) {
        return std::unexpected(std::string(kWireguardNotFound));
    }
    const platform::Path directory = helper_path->parent_path();
    const platform::Path candidates[] = {
        platform::join_path(directory, kProgramName),
        platform::join_path(platform::join_path(directory, "resources"), kProgramName),
    };
    for (const platform::Path& candidate : candidates) {
        if (platform::path_exists(candidate)) {
            return candidate;
        }
    }
    return std::unexpected(std::string(kWireguardNotFound));
}

std::expected<platform::ProcessOutput, std::int32_t> run_wireguard(
    const platform::Path& program, std::span<const std::string> arguments) {
    platform::ProcessRequest request{
        .program = program,
        .arguments = {arguments.begin(), arguments.end()},
        .command_line = encode_command_line(platform::path_to_utf16(program), arguments),
    };
    return platform::run_process(request);
}

}  // namespace tarsel::exchange
