#include "client/request.h"

#include <algorithm>
#include <limits>

#include "platform/files.h"
#include "platform/replace_file.h"

namespace tarsel::client {
namespace {

constexpr std::string_view kHexDigits = "0123456789abcdef";

std::string hex(std::uint64_t value) {
    std::string text(16, '0');
    for (std::size_t i = text.size(); i-- > 0; value >>= 4) {
        text[i] = kHexDigits[value & 15];
    }
    return text;
}

}  // namespace

std::uint64_t choose_nonce(std::span<const std::uint64_t> avoid,
                           const std::function<std::uint64_t()>& random) {
    for (;;) {
        const std::uint64_t nonce = random();
        if (nonce != 0 && std::find(avoid.begin(), avoid.end(), nonce) == avoid.end()) {
            return nonce;
        }
    }
}

std::string encode_command(const exchange::HelperCommand& command) {
    std::string text = R"({"action":)";
    exchange::write_json_string(text, command.action);
    text += R"(,"nonce":)" + std::to_string(command.nonce) + "}";
    return text;
}

std::expected<void, std::int32_t> send_command(const platform::Path& data_dir,
                                               const exchange::HelperCommand& command) {
    // Named after the nonce, so two clients never share a temporary file.
    const platform::Path temporary =
        platform::join_path(data_dir, "command.json." + hex(command.nonce) + ".tmp");
    return platform::write_then_rename(temporary, platform::join_path(data_dir, "command.json"),
                                       encode_command(command));
}

std::optional<exchange::HelperResult> wait_for_result(const platform::Path& result_path,
                                                      std::uint64_t nonce, Clock::duration timeout,
                                                      const WaitSeams& seams) {
    const Clock::time_point start = seams.now();
    const Clock::time_point deadline = start + timeout;
    std::optional<std::chrono::seconds> shown;
    const auto finish = [&](std::optional<exchange::HelperResult> result) {
        if (shown) {
            seams.show_progress("\n");
        }
        return result;
    };
    for (;;) {
        // A missing, unreadable, empty or partly written file, or the result
        // of an earlier command: not yet.
        if (const auto text =
                platform::read_whole_file(result_path, std::numeric_limits<std::size_t>::max())) {
            if (auto result = exchange::parse_result(*text); result && result->nonce == nonce) {
                return finish(std::move(result));
            }
        }
        const Clock::time_point now = seams.now();
        if (now >= deadline) {
            return finish(std::nullopt);
        }
        const auto waited = std::chrono::floor<std::chrono::seconds>(now - start);
        if (seams.show_progress && waited >= kProgressDelay && waited != shown) {
            seams.show_progress(
                "\rwaiting for the TarselHelper service to answer... " +
                std::to_string(waited.count()) + " s of " +
                std::to_string(std::chrono::ceil<std::chrono::seconds>(timeout).count()) + " s");
            shown = waited;
        }
        seams.sleep(std::min<Clock::duration>(kResultPollInterval, deadline - now));
    }
}

}  // namespace tarsel::client
