#include "client/send.h"

#include <limits>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include "exchange/documents.h"
#include "platform/directory_watch.h"
#include "platform/files.h"
#include "platform/process.h"
#include "platform/wake_signal.h"

namespace tarsel::client {
namespace {

constexpr std::size_t kAnySize = std::numeric_limits<std::size_t>::max();

// "120 s" for whole seconds, else "1500 ms".
std::string duration_text(Clock::duration timeout) {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(timeout).count();
    return ms % 1000 == 0 ? std::to_string(ms / 1000) + " s" : std::to_string(ms) + " ms";
}

}  // namespace

SendSeams default_send_seams() {
    return SendSeams{
        .random =
            [] {
                std::random_device device;
                return (std::uint64_t{device()} << 32) ^ device();
            },
        .now = [] { return Clock::now(); },
        .sleep = [](Clock::duration duration) { std::this_thread::sleep_for(duration); },
        .show_progress = nullptr,
        .watch_result = watch_result_file,
    };
}

ResultWait watch_result_file(const platform::Path& data_dir) {
    auto watch = platform::DirectoryWatch::open(data_dir, platform::Path("result.json"));
    if (!watch) {
        return nullptr;
    }
    // Shared, because a std::function must be copyable and the watch is not.
    auto watching = std::make_shared<platform::DirectoryWatch>(std::move(*watch));
    return [watching](Clock::duration timeout) {
        const platform::WakeSignal none;  // nothing but a change or the time ends the wait
        const Clock::time_point deadline = Clock::now() + timeout;
        for (Clock::time_point now = Clock::now(); now < deadline; now = Clock::now()) {
            switch (watching->wait(deadline - now, none)) {
                case platform::WatchWake::unrelated:
                    continue;  // another file: waited out, so a storm costs no reads
                case platform::WatchWake::broken:
                    std::this_thread::sleep_for(deadline - now);
                    return;
                default:
                    return;
            }
        }
    };
}

SendReport send_request(const platform::Path& data_dir, std::string_view action,
                        Clock::duration timeout, const SendSeams& seams) {
    const platform::Path command_path = platform::join_path(data_dir, "command.json");
    const platform::Path result_path = platform::join_path(data_dir, "result.json");

    std::vector<std::uint64_t> avoid;
    if (const auto current = exchange::read_command(command_path)) {
        avoid.push_back(current->nonce);
    }
    if (const auto bytes = platform::read_whole_file(result_path, kAnySize)) {
        if (const auto last = exchange::parse_result(*bytes)) {
            avoid.push_back(last->nonce);
        }
    }
    const exchange::HelperCommand command{std::string(action), choose_nonce(avoid, seams.random)};

    ResultWait wait = seams.watch_result ? seams.watch_result(data_dir) : nullptr;
    if (!wait) {
        wait = seams.sleep;
    }
    if (const auto sent = send_command(data_dir, command); !sent) {
        std::string text = "cannot write " + platform::path_to_utf8(command_path) + ": " +
                           platform::os_error_text(sent.error());
        if (!platform::path_exists(data_dir)) {
            text +=
                " (the directory does not exist; the TarselHelper service creates it when it "
                "starts)";
        }
        return {SendStatus::local_error, std::move(text), command.nonce};
    }

    const auto result = wait_for_result(result_path, command.nonce, timeout,
                                        WaitSeams{seams.now, wait, seams.show_progress});
    if (!result) {
        return {SendStatus::timeout,
                "no answer within " + duration_text(timeout) +
                    "; the TarselHelper service is probably not running. The command stays in " +
                    platform::path_to_utf8(command_path) +
                    " and is carried out when the service starts, unless it is replaced first.",
                command.nonce};
    }
    if (result->ok) {
        return {SendStatus::ok, {}, command.nonce};
    }
    return {SendStatus::failed, result->error.value_or(""), command.nonce};
}

}  // namespace tarsel::client
