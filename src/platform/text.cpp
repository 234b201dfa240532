#include "platform/text.h"

#include <cstdint>
#include <cstring>

namespace tarsel::platform {
namespace {

struct Step {
    std::size_t length;  // code units consumed
    bool valid;          // a whole, well-formed sequence
    char32_t code_point;
};

// The lead bytes of well-formed UTF-8, in the ranges the Unicode standard
// tables: how many continuation bytes follow, which of the lead's bits the
// code point keeps, and the range the first continuation byte must fall in
// (the later ones always take 80..BF). The narrow ranges after E0, ED, F0
// and F4 shut out overlong forms, encoded surrogates and anything above
// U+10FFFF.
struct LeadByte {
    std::uint8_t first;
    std::uint8_t last;
    std::size_t continuations;
    std::uint8_t bits;
    std::uint8_t low;
    std::uint8_t high;
};
constexpr LeadByte kLeadBytes[] = {
    {0xC2, 0xDF, 1, 0x1F, 0x80, 0xBF}, {0xE0, 0xE0, 2, 0x0F, 0xA0, 0xBF},
    {0xE1, 0xEC, 2, 0x0F, 0x80, 0xBF}, {0xED, 0xED, 2, 0x0F, 0x80, 0x9F},
    {0xEE, 0xEF, 2, 0x0F, 0x80, 0xBF}, {0xF0, 0xF0, 3, 0x07, 0x90, 0xBF},
    {0xF1, 0xF3, 3, 0x07, 0x80, 0xBF}, {0xF4, 0xF4, 3, 0x07, 0x80, 0x8F},
};

// Reads one UTF-8 sequence at `i`. For an ill-formed one, `length` is the maximal
// subpart: the lead byte and every continuation byte that could still have
// belonged to a well-formed sequence, or 1 for a byte that can never start one.
Step next_code_point(std::string_view s, std::size_t i) noexcept {
    const auto byte = [&](std::size_t k) { return static_cast<std::uint8_t>(s[k]); };
    const std::uint8_t lead = byte(i);
    if (lead < 0x80) {
        return {1, true, lead};
    }
    const LeadByte* rule = nullptr;
    for (const LeadByte& row : kLeadBytes) {
        if (lead >= row.first && lead <= row.last) {
            rule = &row;
            break;
        }
    }
    if (rule == nullptr) {
        return {1, false, 0};
    }
    const std::size_t need = rule->continuations;
    std::uint8_t low = rule->low;
    std::uint8_t high = rule->high;
    char32_t cp = lead & rule->bits;
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

// Reads one UTF-16 code point at `i`: a unit outside the surrogates, or a high
// surrogate with the low one after it. Any other surrogate is ill-formed
// on its own.
Step next_code_point(std::u16string_view units, std::size_t i) noexcept {
    const char16_t u = units[i];
    if (u < 0xD800 || u > 0xDFFF) {
        return {1, true, u};
    }
    if (u <= 0xDBFF && i + 1 < units.size() && units[i + 1] >= 0xDC00 && units[i + 1] <= 0xDFFF) {
        return {2, true, 0x10000 + ((char32_t{u} - 0xD800) << 10) + (units[i + 1] - 0xDC00)};
    }
    return {1, false, 0};
}

// Hands `take` each code point of `text` in order, U+FFFD in place of each
// ill-formed part: every lossy conversion below is this walk.
template <class Text, class Take>
void for_each_code_point_lossy(Text text, Take take) {
    for (std::size_t i = 0; i < text.size();) {
        const Step step = next_code_point(text, i);
        take(step.valid ? step.code_point : U'\uFFFD');
        i += step.length;
    }
}

// Past the plain ASCII from `i` on. Command documents are mostly ASCII,
// which goes eight bytes a step.
std::size_t skip_plain(std::string_view bytes, std::size_t i) noexcept {
    for (std::uint64_t word; bytes.size() - i >= 8; i += 8) {
        std::memcpy(&word, bytes.data() + i, sizeof word);
        if ((word & 0x8080808080808080u) != 0) {
            break;
        }
    }
    while (i < bytes.size() && static_cast<std::uint8_t>(bytes[i]) < 0x80) {
        ++i;
    }
    return i;
}

// Past the units from `i` on that are no surrogate.
std::size_t skip_plain(std::u16string_view units, std::size_t i) noexcept {
    while (i < units.size() && (units[i] < 0xD800 || units[i] > 0xDFFF)) {
        ++i;
    }
    return i;
}

template <class Text>
bool is_well_formed(Text text) noexcept {
    for (std::size_t i = skip_plain(text, 0); i < text.size();) {
        const Step step = next_code_point(text, i);
        if (!step.valid) {
            return false;
        }
        i = skip_plain(text, i + step.length);
    }
    return true;
}

template <class Text>
std::string to_utf8_lossy(Text text) {
    std::string out;
    out.reserve(text.size());
    for_each_code_point_lossy(text, [&](char32_t cp) { append_utf8(out, cp); });
    return out;
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
    return is_well_formed(bytes);
}

std::string utf8_lossy(std::string_view bytes) {
    return to_utf8_lossy(bytes);
}

std::string utf16_to_utf8_lossy(std::u16string_view units) {
    return to_utf8_lossy(units);
}

bool is_valid_utf16(std::u16string_view units) noexcept {
    return is_well_formed(units);
}

std::u16string utf8_to_utf16(std::string_view bytes) {
    std::u16string out;
    out.reserve(bytes.size());
    for_each_code_point_lossy(bytes, [&](char32_t cp) {
        if (cp >= 0x10000) {
            out.push_back(static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp));
        }
    });
    return out;
}

std::string_view trim_unicode_white_space(std::string_view text) noexcept {
    // Leading: walk forward one code point at a time.
    std::size_t begin = 0;
    while (begin < text.size()) {
        const Step step = next_code_point(text, begin);
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
        const Step step = next_code_point(text, start);
        if (!step.valid || start + step.length != end || !is_white_space(step.code_point)) {
            break;
        }
        end = start;
    }
    return text.substr(begin, end - begin);
}

}  // namespace tarsel::platform
