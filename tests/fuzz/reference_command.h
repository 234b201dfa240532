#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// A second reading of the command language, kept apart from the product's and
// written only to judge it: the text is cut into tokens first and then parsed
// by plain recursive descent that follows the rules of the language one by
// one. It is slow and recurses once per nesting level, which is fine for
// inputs of fuzzing size; beyond kReferenceMaxDepth it declines to judge.
namespace tarsel::testing {

inline constexpr int kReferenceMaxDepth = 1000;

struct ReferenceVerdict {
    enum class Kind { accepted, rejected, too_deep };
    Kind kind = Kind::rejected;
    std::string action;  // when accepted
    std::uint64_t nonce = 0;
};

[[nodiscard]] ReferenceVerdict reference_parse_command(std::string_view text);

// Well-formed UTF-8 by the table of well-formed byte sequences in the Unicode
// standard (RFC 3629 in other words).
[[nodiscard]] bool reference_is_utf8(std::string_view bytes);

}  // namespace tarsel::testing
