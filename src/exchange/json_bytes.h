#pragma once

// The byte classes of JSON text, shared by the reader and the string writer.
// They live in a header, not in json.cpp, because the reader's small steps
// (skip white space, take one mark, find the end of a name) are defined
// inline in json.h: a 30-byte command is a dozen such steps, and a call for
// each costs the idle pass about a quarter more instructions.
#include <array>
#include <cstdint>
#include <cstring>

namespace tarsel::exchange::json_bytes {

// "Special" are the bytes that end a run of plain string content in both
// directions: the quotation mark, the backslash and the raw control
// characters.
enum : std::uint8_t {
    kStringSpecial = 1,
    kWhiteSpace = 2,
    kDigit = 4,
};

inline constexpr std::array<std::uint8_t, 256> kByteClass = [] {
    std::array<std::uint8_t, 256> table{};
    for (int b = 0; b < 0x20; ++b) {
        table[b] |= kStringSpecial;
    }
    table['"'] |= kStringSpecial;
    table['\\'] |= kStringSpecial;
    for (unsigned char b : {' ', '\t', '\n', '\r'}) {
        table[b] |= kWhiteSpace;
    }
    for (int b = '0'; b <= '9'; ++b) {
        table[b] |= kDigit;
    }
    return table;
}();

[[nodiscard]] inline bool has_class(char byte, std::uint8_t bits) noexcept {
    return (kByteClass[static_cast<unsigned char>(byte)] & bits) != 0;
}

// True when any of the eight bytes is special. The checks are exact for "any",
// which is all the caller needs: it then finds the byte itself with the table.
[[nodiscard]] inline bool word_has_special(std::uint64_t word) noexcept {
    constexpr std::uint64_t kOnes = 0x0101010101010101u;
    constexpr std::uint64_t kHigh = 0x8080808080808080u;
    const std::uint64_t quote = word ^ (kOnes * '"');
    const std::uint64_t backslash = word ^ (kOnes * '\\');
    const std::uint64_t zero_in_quote = (quote - kOnes) & ~quote;
    const std::uint64_t zero_in_backslash = (backslash - kOnes) & ~backslash;
    const std::uint64_t below_space = (word - kOnes * 0x20) & ~word;
    return ((zero_in_quote | zero_in_backslash | below_space) & kHigh) != 0;
}

// The first special byte at or after `p`, or `end`. Documents with long
// strings spend nearly all their time here, so it looks at eight bytes a step.
[[nodiscard]] inline const char* skip_plain_run(const char* p, const char* end) noexcept {
    while (end - p >= 8) {
        std::uint64_t word;
        std::memcpy(&word, p, sizeof word);
        if (word_has_special(word)) {
            break;
        }
        p += 8;
    }
    while (p != end && !has_class(*p, kStringSpecial)) {
        ++p;
    }
    return p;
}

}  // namespace tarsel::exchange::json_bytes
