#include "client/arguments.h"

#include <charconv>
#include <cstdint>
#include <limits>
#include <string_view>
#include <vector>

namespace tarsel::client {
namespace {

std::optional<std::chrono::seconds> parse_seconds(std::string_view text) {
    std::uint32_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || value == 0) {
        return std::nullopt;
    }
    return std::chrono::seconds(value);
}

bool takes_value(std::string_view option) {
    return option == "--dir" || option == "--timeout";
}

}  // namespace

std::expected<Invocation, std::string> parse_arguments(std::span<const std::string> arguments) {
    // --help anywhere answers with the usage text, whatever else is wrong, so
    // it is looked for before anything can fail.
    for (std::size_t i = 1; i < arguments.size(); ++i) {
        if (takes_value(arguments[i])) {
            ++i;
        } else if (arguments[i] == "--help" || arguments[i] == "-h") {
            return Invocation{};
        }
    }

    Invocation invocation;
    bool timeout_seen = false;
    std::vector<std::string_view> words;
    for (std::size_t i = 1; i < arguments.size(); ++i) {
        const std::string_view argument = arguments[i];
        if (takes_value(argument)) {
            if (i + 1 == arguments.size()) {
                return std::unexpected(std::string(argument) + " needs a value");
            }
            const std::string& value = arguments[++i];
            if (argument == "--dir") {
                if (invocation.dir) {
                    return std::unexpected("--dir given twice");
                }
                invocation.dir = value;
            } else {
                if (timeout_seen) {
                    return std::unexpected("--timeout given twice");
                }
                const auto seconds = parse_seconds(value);
                if (!seconds) {
                    return std::unexpected(
                        "--timeout needs a whole number of seconds from 1 to " +
                        std::to_string(std::numeric_limits<std::uint32_t>::max()) + ", not \"" +
                        value + "\"");
                }
                invocation.timeout = *seconds;
                timeout_seen = true;
            }
            continue;
        }
        if (argument.size() > 1 && argument.front() == '-') {
            return std::unexpected("unknown option " + std::string(argument));
        }
        words.push_back(argument);
    }

    if (words.empty()) {
        return std::unexpected("no command given");
    }
    const std::string_view verb = words.front();
    std::size_t operands = 0;
    if (verb == "up") {
        invocation.verb = Verb::up;
    } else if (verb == "down") {
        invocation.verb = Verb::down;
    } else if (verb == "status") {
        invocation.verb = Verb::status;
    } else if (verb == "check") {
        invocation.verb = Verb::check;
        operands = 1;
        if (words.size() < 2) {
            return std::unexpected("check needs a FILE");
        }
        invocation.file = words[1];
    } else {
        return std::unexpected("unknown command " + std::string(verb));
    }
    if (words.size() > 1 + operands) {
        return std::unexpected("unexpected argument " + std::string(words[1 + operands]));
    }
    return invocation;
}

std::string usage_text() {
    return "usage: tarselctl [--dir DIR] [--timeout SECONDS] up|down\n"
           "       tarselctl [--dir DIR] status\n"
           "       tarselctl check FILE\n"
           "       tarselctl --help\n"
           "\n"
           "  up, down     ask the TarselHelper service to bring the tunnel up or take\n"
           "               it down, and wait for its answer; exit code 0 when it\n"
           "               succeeded, 1 when it failed, 2 when no answer came in time\n"
           "  status       show the data directory, the current command, the last\n"
           "               result and the state of the TarselHelper service\n"
           "  check FILE   tell whether the helper would accept FILE as its\n"
           "               command.json (exit code 0) or ignore it (exit code 1)\n"
           "\n"
           "  --dir DIR          the helper's data directory, instead of the one the\n"
           "                     helper itself uses (PROGRAMDATA joined with TarselVPN)\n"
           "  --timeout SECONDS  how long up and down wait for the answer (default " +
           std::to_string(kDefaultTimeout.count()) + ")\n";
}

}  // namespace tarsel::client
