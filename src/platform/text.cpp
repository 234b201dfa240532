#include "platform/text.h"

#include <cstdint>
#include <cstring>

namespace tarsel::platform {
namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

struct Utf8Step {
    std::size_t length;  // bytes consumed
    bool valid;          // a whole, well-formed sequence
    char32_t code_point;
};

// Reads one sequence at `i`. For an ill-formed one, `length` is the maximal
// subpart: the lead byte and every continuation byte that could still have
// belonged to a well-formed sequence, or 1 for a byte that can never start one.
Utf8Step next_utf8(std::string_view s, std::size_t i) noexcept {
    const auto byte = [&](std::size_t k) { return static_cast<std::uint8_t>(s[k]); };
    const std::uint8_t lead = byte(i);
    if (lead < 0x80) {
        return {1, true, lead};
    }
    std::size_t need = 0;
    std::uint8_t low = 0x80;
    std::uint8_t high = 0xBF;
    char32_t cp = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        need = 1;
        cp = lead & 0x1Fu;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        need = 2;
        cp = lead & 0x0Fu;
        if (lead == 0xE0)
            low = 0xA0;
        if (lead == 0xED)
            high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        need = 3;
        cp = lead & 0x07u;
        if (lead == 0xF0)
            low = 0x90;
        if (lead == 0xF4)
            high = 0x8F;
    } else {
        return {1, false, 0};
    }
    std::size_t k = 1;
    for (; k <= need; ++k) {
        if (i + k >= s.size()) {
            return {k, false, 0};
        }
        const std::uint8_t b = byte(i + k);
        if (b < low || b > high) {
            return {k, false, 0};
        }
        low = 0x80;
        high = 0xBF;
        cp = (cp << 6) | (b & 0x3Fu);
    }
    return {k, true, cp};
}

bool is_white_space(char32_t cp) noexcept {
    return (cp >= 0x09 && cp <= 0x0D) || cp == 0x20 || cp == 0x85 || cp == 0xA0 || cp == 0x1680 ||
           (cp >= 0x2000 && cp <= 0x200A) || cp == 0x2028 || cp == 0x2029 || cp == 0x202F ||
           cp == 0x205F || cp == 0x3000;
}

}  // namespace

void append_utf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

bool is_valid_utf8(std::string_view bytes) noexcept {
    std::size_t i = 0;
    while (i < bytes.size()) {
        // Command documents are mostly ASCII, which goes eight bytes a step.
        if (bytes.size() - i >= 8) {
            std::uint64_t word;
            std::memcpy(&word, bytes.data() + i, sizeof word);
            if ((word & 0x8080808080808080u) == 0) {
                i += 8;
                continue;
            }
        }
        if (static_cast<std::uint8_t>(bytes[i]) < 0x80) {
            ++i;
            continue;
        }
        const Utf8Step step = next_utf8(bytes, i);
        if (!step.valid) {
            return false;
        }
        i += step.length;
    }
    return true;
}

std::string utf8_lossy(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    std::size_t i = 0;
    while (i < bytes.size()) {
        const Utf8Step step = next_utf8(bytes, i);
        if (step.valid) {
            out.append(bytes.substr(i, step.length));
        } else {
            out.append(kReplacement);
        }
        i += step.length;
    }
    return out;
}

std::string utf16_to_utf8_lossy(std::u16string_view units) {
    std::string out;
    out.reserve(units.size());
    for (std::size_t i = 0; i < units.size(); ++i) {
        const char16_t u = units[i];
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < units.size() && units[i + 1] >= 0xDC00 &&
            units[i + 1] <= 0xDFFF) {
            append_utf8(out, 0x10000 + ((char32_t{u} - 0xD800) << 10) + (units[i + 1] - 0xDC00));
            ++i;
        } else if (u >= 0xD800 && u <= 0xDFFF) {
            out.append(kReplacement);
        } else {
            append_utf8(out, u);
        }
    }
    return out;
}

bool is_valid_utf16(std::u16string_view units) noexcept {
    for (std::size_t i = 0; i < units.size(); ++i) {
        const char16_t u = units[i];
        if (u >= 0xD800 && u <= 0xDBFF) {
            if (i + 1 >= units.size() || units[i + 1] < 0xDC00 || units[i + 1] > 0xDFFF) {
                return false;
            }
            ++i;
        } else if (u >= 0xDC00 && u <= 0xDFFF) {
            return false;
        }
    }
    return true;
}

std::u16string utf8_to_utf16(std::string_view bytes) {
    std::u16string out;
    out.reserve(bytes.size());
    std::size_t i = 0;
    while (i < bytes.size()) {
        const Utf8Step step = next_utf8(bytes, i);
        const char32_t cp = step.valid ? step.code_point : U'\uFFFD';
        if (cp >= 0x10000) {
            out.push_back(static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp));
        }
        i += step.length;
    }
    return out;
}

std::string_view trim_unicode_white_space(std::string_view text) noexcept {
    // Leading: walk forward one code point at a time.
    std::size_t begin = 0;
    while (begin < text.size()) {
        const Utf8Step step = next_utf8(text, begin);
        if (!step.valid || !is_white_space(step.code_point)) {
            break;
        }
        begin += step.length;
    }
    // Trailing: find the start of the last code point by skipping
    // continuation bytes backwards.
    std::size_t end = text.size();
    while (end > begin) {
        std::size_t start = end - 1;
        while (start > begin && (static_cast<std::uint8_t>(text[start]) & 0xC0) == 0x80) {
            --start;
        }
        const Utf8Step step = next_utf8(text, start);
        if (!step.valid || start + step.length != end || !is_white_space(step.code_point)) {
            break;
        }
        end = start;
    }
    return text.substr(begin, end - begin);
}

}  // namespace tarsel::platform
