// A stand-in for WireGuard for Windows' wireguard.exe, which cannot run in the
// test environments. It records how it was started and then behaves as the
// wireguard-standin.cfg beside it says: which bytes to write to which stream,
// how long to take or until which file appears, and which exit code to return.
#include <chrono>
#include <cstdint>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>

#include "platform/console.h"
#include "platform/environment.h"
#include "platform/text.h"
#include "support/pipe_holder.h"
#include "support/raw_command_line.h"
#include "support/standin_protocol.h"

namespace {

namespace standin = tarsel::testing::standin;
namespace platform = tarsel::platform;

std::map<std::string, std::string> read_behaviour(const platform::Path& directory) {
    std::map<std::string, std::string> settings;
    std::ifstream in(directory / std::string(standin::kBehaviourFile), std::ios::binary);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        const auto eq = line.find('=');
        if (eq != std::string::npos)
            settings[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return settings;
}

void write_all(char stream, std::string_view bytes) {
    if (stream == 'o') {
        platform::write_standard_output(bytes);
    } else {
        platform::write_standard_error(bytes);
    }
}

// Writes `total` bytes of the pattern to both streams in alternating chunks,
// so that a parent reading only one pipe at a time would deadlock.
void flood(std::uint64_t total) {
    constexpr std::uint64_t chunk = 8192;
    std::string buffer;
    for (std::uint64_t offset = 0; offset < total; offset += chunk) {
        const std::uint64_t n = std::min(chunk, total - offset);
        for (char stream : {'o', 'e'}) {
            buffer.clear();
            for (std::uint64_t i = 0; i < n; ++i)
                buffer.push_back(standin::flood_byte(stream, offset + i));
            write_all(stream, buffer);
        }
    }
}

// Waits until the test's release file appears, or `cap_ms` at most.
void wait_for_release(const platform::Path& directory, std::uint64_t cap_ms) {
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::milliseconds(cap_ms);
    const platform::Path release = directory / std::string(standin::kReleaseFile);
    while (!std::ifstream(release).is_open() && std::chrono::steady_clock::now() < give_up) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

std::uint64_t setting(const std::map<std::string, std::string>& settings, const char* key) {
    auto it = settings.find(key);
    return it == settings.end() ? 0 : std::stoull(it->second);
}

}  // namespace

int main(int argc, char** argv) {
    const auto self = platform::executable_path();
    const platform::Path directory = self ? self->parent_path() : platform::Path(".");
    const auto arguments = platform::command_line_arguments(argc, argv);

    if (arguments.size() == 2 && arguments[1] == standin::kHoldPipesArgument) {
        wait_for_release(directory, setting(read_behaviour(directory), "pipe_holder_cap_ms"));
        std::ofstream(directory / std::string(standin::kHolderGoneFile)) << "gone\n";
        return 0;
    }

    {
        std::ostringstream record;
        if (auto raw = tarsel::testing::raw_command_line()) {
            record << "cmdline " << standin::to_hex(platform::utf16_to_utf8_lossy(*raw)) << '\n';
        }
        for (std::size_t i = 1; i < arguments.size(); ++i) {
            record << "arg " << standin::to_hex(arguments[i]) << '\n';
        }
        record << "end\n";
        std::ofstream log(directory / std::string(standin::kLogFile),
                          std::ios::binary | std::ios::app);
        log << record.str();
    }

    auto settings = read_behaviour(directory);
    const auto number = [&](const char* key) { return setting(settings, key); };

    if (const auto cap = number("release_cap_ms")) {
        wait_for_release(directory, cap);
    }
    if (const auto ms = number("sleep_ms")) {
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    }
    if (const auto n = number("flood_bytes")) {
        flood(n);
    }
    write_all('o', standin::from_hex(settings["stdout_hex"]));
    write_all('e', standin::from_hex(settings["stderr_hex"]));
    if (number("pipe_holder_cap_ms") != 0 &&
        (!self || !tarsel::testing::start_pipe_holder(*self))) {
        return 97;
    }
    return static_cast<int>(number("exit"));
}
