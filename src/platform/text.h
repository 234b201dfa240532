#pragma once

#include <string>
#include <string_view>

// Unicode helpers shared by every layer. Pure functions, no system calls.
namespace tarsel::platform {

// Strict RFC 3629 UTF-8: no overlong forms, no encoded surrogates, nothing
// above U+10FFFF, no truncated sequence.
[[nodiscard]] bool is_valid_utf8(std::string_view bytes) noexcept;

// Decodes UTF-8, replacing every maximal invalid subpart (the Unicode
// "maximal subpart" practice) with U+FFFD, and re-encodes it as valid UTF-8.
[[nodiscard]] std::string utf8_lossy(std::string_view bytes);

// Appends the UTF-8 form of one code point, which must not be a surrogate.
void append_utf8(std::string& out, char32_t code_point);

// UTF-16 to UTF-8; an unpaired surrogate becomes U+FFFD.
[[nodiscard]] std::string utf16_to_utf8_lossy(std::u16string_view units);

// True when the units hold no unpaired surrogate.
[[nodiscard]] bool is_valid_utf16(std::u16string_view units) noexcept;

// UTF-8 (assumed valid; invalid bytes become U+FFFD) to UTF-16.
[[nodiscard]] std::u16string utf8_to_utf16(std::string_view bytes);

// Removes leading and trailing characters of the Unicode White_Space
// property from valid UTF-8 text.
[[nodiscard]] std::string_view trim_unicode_white_space(std::string_view text) noexcept;

}  // namespace tarsel::platform
