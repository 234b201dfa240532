#include "client/request.h"

#include <algorithm>
#include <charconv>
#include <limits>

#include "platform/client_support.h"
#include "platform/files.h"

namespace tarsel::client {
namespace {

constexpr std::string_view kHexDigits = "0123456789abcdef";

// The letter after a backslash and the byte it stands for, pair by pair.
constexpr std::string_view kShortEscapes = "\"\"\\\\//b\bf\fn\nr\rt\t";

std::string hex(std::uint64_t value) {
    std::string text(16, '0');
    for (std::size_t i = text.size(); i-- > 0; value >>= 4) {
        text[i] = kHexDigits[value & 15];
    }
    return text;
}

// Undoes write_json_string for the text between the quotation marks, up to and
// including the closing one; `text` is left just after it. The helper escapes
// control characters as \u00xx and nothing else with \u, so other code units
// cannot come from it.
std::optional<std::string> read_json_string(std::string_view& text) {
    std::string value;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '"') {
            text.remove_prefix(i + 1);
            return value;
        }
        if (c != '\\') {
            value.push_back(c);
            continue;
        }
        if (++i == text.size()) {
            return std::nullopt;
        }
        if (text[i] == 'u') {
            unsigned unit = 0;
            const char* first = text.data() + i + 1;
            if (text.size() - i - 1 < 4) {
                return std::nullopt;
            }
            const auto [end, error] = std::from_chars(first, first + 4, unit, 16);
            if (error != std::errc() || end != first + 4 || unit >= 0x80) {
                return std::nullopt;
            }
            value.push_back(static_cast<char>(unit));
            i += 4;
            continue;
        }
        std::size_t pair = 0;
        while (pair < kShortEscapes.size() && kShortEscapes[pair] != text[i]) {
            pair += 2;
        }
        if (pair == kShortEscapes.size()) {
            return std::nullopt;
        }
        value.push_back(kShortEscapes[pair + 1]);
    }
    return std::nullopt;
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

std::optional<exchange::HelperResult> parse_result(std::string_view text) {
    const std::string_view original = text;
    constexpr std::string_view kStart = R"({"nonce":)";
    if (!text.starts_with(kStart)) {
        return std::nullopt;
    }
    text.remove_prefix(kStart.size());
    std::uint64_t nonce = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), nonce);
    if (error != std::errc()) {
        return std::nullopt;
    }
    text.remove_prefix(static_cast<std::size_t>(end - text.data()));

    exchange::HelperResult result;
    if (text == R"(,"ok":true})") {
        result = exchange::HelperResult::success(nonce);
    } else if (constexpr std::string_view kFailure = R"(,"ok":false,"error":")";
               text.starts_with(kFailure)) {
        text.remove_prefix(kFailure.size());
        auto message = read_json_string(text);
        if (!message || text != "}") {
            return std::nullopt;
        }
        result = exchange::HelperResult::failure(nonce, std::move(*message));
    } else {
        return std::nullopt;
    }
    // The helper's bytes are fixed to the last one, so anything that does not
    // encode back to the same text (a leading zero, a stray escape) is not
    // one of its documents.
    if (exchange::encode_result(result) != original) {
        return std::nullopt;
    }
    return result;
}

std::optional<exchange::HelperResult> wait_for_result(const platform::Path& result_path,
                                                      std::uint64_t nonce,
                                                      Clock::duration timeout,
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
            if (auto result = parse_result(*text); result && result->nonce == nonce) {
                return finish(std::move(result));
            }
        }
        const Clock::time_point now = seams.now();
        if (now >= deadline) {
            return finish(std::nullopt);
        }
        const auto waited = std::chrono::floor<std::chrono::seconds>(now - start);
        if (seams.show_progress && waited >= kProgressDelay && waited != shown) {
            seams.show_progress("\rwaiting for the TarselHelper service to answer... " +
                                std::to_string(waited.count()) + " s of " +
                                std::to_string(std::chrono::ceil<std::chrono::seconds>(timeout).count()) + " s");
            shown = waited;
        }
        seams.sleep(std::min<Clock::duration>(kResultPollInterval, deadline - now));
    }
}

}  // namespace tarsel::client
