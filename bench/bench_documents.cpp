#include "bench_documents.h"

#include <array>
#include <string_view>

namespace tarsel::bench {
namespace {

constexpr std::size_t kBulkBytes = std::size_t{1} << 20;
constexpr std::string_view kHead = R"({"action":"up","nonce":1,"extra":[)";
constexpr std::string_view kTail = "]}";

// Fills the unknown member's array with `items` in turn, up to just under
// 1 MiB in all, so that the whole file stays within the helper's limit.
template <std::size_t N>
std::string bulk_command(const std::array<std::string_view, N>& items) {
    std::string text(kHead);
    for (std::size_t i = 0;; ++i) {
        const std::string_view item = items[i % N];
        if (text.size() + item.size() + 1 + kTail.size() > kBulkBytes) {
            break;
        }
        if (i != 0) {
            text.push_back(',');
        }
        text.append(item);
    }
    text.append(kTail);
    return text;
}

}  // namespace

std::string small_command() {
    return R"({"action":"down","nonce":1234})";
}

std::string numbers_command() {
    static constexpr std::array<std::string_view, 8> kNumbers = {
        "0", "-17", "3.14159", "6.02214076e23", "18446744073709551615", "-0.5E-3", "42", "1e300",
    };
    return bulk_command(kNumbers);
}

std::string strings_command() {
    static constexpr std::array<std::string_view, 6> kStrings = {
        R"("plain ASCII text of a typical length, nothing to decode")",
        R"("line\nbreak, \"quoted\", back\\slash, tab\t and solidus \/")",
        "\"caf\xC3\xA9, na\xC3\xAFve, \xC3\xBC"
        "ber, \xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E, "
        "\xD0\xBF\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82, \xF0\x9F\x98\x80\"",
        R"("\u00e9\u65e5\u672c \ud83d\ude00 \u0041\u0042\u0043 \u2028")",
        R"("mixed: caf\u00e9 )"
        "\xC3\xA9 \\\\ \\\" \xE2\x82\xAC 100\"",
        R"("")",
    };
    return bulk_command(kStrings);
}

std::string deep_command() {
    std::string text(kHead);
    text.append(kDeepLevels - 1, '[');
    text.append(kDeepLevels - 1, ']');
    text.append(kTail);
    return text;
}

std::string document_by_index(int which) {
    switch (which) {
        case 0:
            return small_command();
        case 1:
            return numbers_command();
        case 2:
            return strings_command();
        default:
            return deep_command();
    }
}

}  // namespace tarsel::bench
