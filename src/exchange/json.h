#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "exchange/json_bytes.h"

// The JSON both documents are written in: a streaming reader, and the string
// writer that shares its byte classes.
namespace tarsel::exchange {

// Which rule a rejected text broke. Stored as a number, so that rejecting a
// text allocates and formats nothing; describe_rejection makes the text only
// when someone asks for it.
enum class Rejection : std::uint8_t {
    none,
    // The file, before any JSON is read.
    cannot_open,
    not_a_plain_file,
    cannot_read,
    too_large,
    not_utf8,
    // The reader.
    not_an_object_or_array,
    expected_member_name,
    expected_colon,
    expected_comma_or_close,
    expected_value,
    unterminated_string,
    control_character_in_string,
    unknown_escape,
    bad_unicode_escape,
    lone_surrogate,
    bad_number,
    leading_zero,
    integer_too_large,
    not_an_integer,
    trailing_data,
    // The documents.
    action_not_a_string,
    repeated_member,
    missing_member,
    unexpected_member,
    not_the_helpers_bytes,
};

// A rejection and the byte offset at which the reader stopped.
struct ParseFailure {
    Rejection rule = Rejection::none;
    std::size_t offset = 0;
    friend bool operator==(const ParseFailure&, const ParseFailure&) = default;
};

// For example "a member appears twice (at byte 27)".
[[nodiscard]] std::string describe_rejection(const ParseFailure& failure);

// Reads JSON straight off the bytes, front to back. Every function returns
// false on the first violation, after recording it; a caller rejects the whole
// text then, so nothing needs to undo what it consumed. Whitespace is skipped
// only where the caller asks. The small steps are defined here rather than in
// json.cpp so that the command rules, in another file, compile them in place:
// a 30-byte command takes a dozen of them, and a call each would cost the
// idle pass a quarter more instructions.
class JsonReader {
  public:
    // Outside the range of a byte, so that a NUL in the text is never taken
    // for the end of it.
    static constexpr int kEndOfText = -1;

    explicit JsonReader(std::string_view text) noexcept
        : begin_(text.data()), pos_(text.data()), end_(text.data() + text.size()) {}

    [[nodiscard]] int peek() const noexcept {
        return pos_ == end_ ? kEndOfText : static_cast<unsigned char>(*pos_);
    }
    [[nodiscard]] bool at_end() const noexcept { return pos_ == end_; }
    bool consume(char expected) noexcept {
        if (pos_ != end_ && *pos_ == expected) {
            ++pos_;
            return true;
        }
        return false;
    }
    void skip_white_space() noexcept {
        // Between tokens there is mostly none: that case stores nothing.
        if (pos_ != end_ && json_bytes::has_class(*pos_, json_bytes::kWhiteSpace)) {
            pos_ = skip_class(pos_ + 1, json_bytes::kWhiteSpace);
        }
    }

    // At a quotation mark: decodes the string into `out` (appending), and a
    // surrogate escape must be one half of a pair.
    bool read_string(std::string& out);
    // At a quotation mark: checks the string without decoding it. Lone
    // surrogate escapes pass, as they may inside values nobody reads.
    bool skip_string();
    // At a quotation mark. A name without escapes, nearly every name, is
    // returned where it stands in the text; only one with escapes is decoded
    // into `scratch` first.
    bool read_member_name(std::string& scratch, std::string_view& name) {
        const char* const start = pos_ + 1;
        const char* const run_end = json_bytes::skip_plain_run(start, end_);
        if (run_end != end_ && *run_end == '"') {
            name = std::string_view(start, static_cast<std::size_t>(run_end - start));
            pos_ = run_end + 1;
            return true;
        }
        return read_escaped_member_name(scratch, name);
    }
    // A whole number as written: no sign, no leading zero, no fraction or
    // exponent, nothing above 2^64-1. Never converted through floating point,
    // which could not hold every 64-bit value.
    bool read_uint64(std::uint64_t& value) noexcept {
        const int first = peek();
        if (first == '0') {
            ++pos_;
            value = 0;
            if (at_digit()) {
                return fail(Rejection::leading_zero);
            }
        } else if (first >= '1' && first <= '9') {
            std::uint64_t accumulated = 0;
            const char* p = pos_;  // in a register, as in skip_class
            for (; p != end_ && json_bytes::has_class(*p, json_bytes::kDigit); ++p) {
                const auto digit = static_cast<std::uint64_t>(*p - '0');
                if (accumulated > (std::numeric_limits<std::uint64_t>::max() - digit) / 10) {
                    pos_ = p;
                    return fail(Rejection::integer_too_large);
                }
                accumulated = accumulated * 10 + digit;
            }
            pos_ = p;
            value = accumulated;
        } else if (first == '-') {
            return fail(Rejection::not_an_integer);
        } else {
            return fail(Rejection::expected_value);
        }
        const int next = peek();
        if (next == '.' || next == 'e' || next == 'E') {
            return fail(Rejection::not_an_integer);
        }
        return true;
    }
    bool read_literal(std::string_view word) noexcept;
    // Any well-formed value, at any depth, read and dropped.
    bool skip_value();

    // Records the rule broken at the current position; always false.
    bool fail(Rejection rule) noexcept;
    // The first rule broken, and where.
    [[nodiscard]] ParseFailure failure() const noexcept { return failure_; }

  private:
    // Defined in json.cpp and called only there. Inline, so that they
    // compile into the loops that call them as a file's private functions
    // would: a megabyte of short strings or numbers is otherwise a call for
    // each, some 3 % more instructions.
    template <bool kDecode>
    inline bool scan_string(std::string* out);
    inline bool skip_member_name();
    inline bool skip_scalar();
    inline bool skip_number() noexcept;

    template <bool kDecode>
    bool scan_escape(std::string* out);
    bool read_hex4(std::uint32_t& unit) noexcept;
    bool read_escaped_member_name(std::string& scratch, std::string_view& name);
    void skip_digits() noexcept { pos_ = skip_class(pos_, json_bytes::kDigit); }
    // The first byte at or after `p` outside the class. A byte read through
    // pos_ might, for all the compiler knows, be part of pos_ itself, so a
    // loop that stepped pos_ would store it on every byte; this one keeps
    // its cursor in a register.
    [[nodiscard]] const char* skip_class(const char* p, std::uint8_t bits) const noexcept {
        while (p != end_ && json_bytes::has_class(*p, bits)) {
            ++p;
        }
        return p;
    }
    [[nodiscard]] bool at_digit() const noexcept {
        return pos_ != end_ && json_bytes::has_class(*pos_, json_bytes::kDigit);
    }

    const char* begin_;
    const char* pos_;
    const char* end_;
    ParseFailure failure_;
    std::vector<char> open_;  // one '[' or '{' per open level of a skipped value
};

// Appends one JSON string literal for `text`: the quotation mark, backslash
// and control characters escaped, the shortest escape for each, everything
// else as it is.
void write_json_string(std::string& out, std::string_view text);

}  // namespace tarsel::exchange
