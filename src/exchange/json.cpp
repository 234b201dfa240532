#include "exchange/json.h"

#include <array>

#include "platform/text.h"

namespace tarsel::exchange {
namespace {

using json_bytes::skip_plain_run;

constexpr std::array<std::int8_t, 256> kHexValue = [] {
    std::array<std::int8_t, 256> table{};
    table.fill(-1);
    for (int b = 0; b < 10; ++b) {
        table['0' + b] = static_cast<std::int8_t>(b);
    }
    for (int b = 0; b < 6; ++b) {
        table['a' + b] = static_cast<std::int8_t>(10 + b);
        table['A' + b] = static_cast<std::int8_t>(10 + b);
    }
    return table;
}();

// JSON's two-character escapes: the letter after the backslash and the byte
// it stands for. The reader takes every row; the writer looks here only for
// the bytes a string cannot hold as they are, so it never writes "\/", and
// every other control character goes out as \u00XX.
struct ShortEscape {
    char letter;
    char byte;
};
constexpr ShortEscape kShortEscapes[] = {
    {'"', '"'},  {'\\', '\\'}, {'/', '/'},  {'b', '\b'},
    {'f', '\f'}, {'n', '\n'},  {'r', '\r'}, {'t', '\t'},
};

// The row whose `side` is `value`, or null.
const ShortEscape* find_short_escape(char ShortEscape::*side, int value) noexcept {
    for (const ShortEscape& escape : kShortEscapes) {
        if (escape.*side == value) {
            return &escape;
        }
    }
    return nullptr;
}

bool is_high_surrogate(std::uint32_t unit) noexcept {
    return unit >= 0xD800 && unit <= 0xDBFF;
}
bool is_low_surrogate(std::uint32_t unit) noexcept {
    return unit >= 0xDC00 && unit <= 0xDFFF;
}

std::string_view rejection_text(Rejection rule) noexcept {
    switch (rule) {
        case Rejection::none:
            return "no rule broken";
        case Rejection::cannot_open:
            return "the file cannot be opened";
        case Rejection::not_a_plain_file:
            return "not a plain file";
        case Rejection::cannot_read:
            return "the file cannot be read";
        case Rejection::too_large:
            return "larger than the helper reads";
        case Rejection::not_utf8:
            return "not valid UTF-8";
        case Rejection::not_an_object_or_array:
            return "the document is neither an object nor an array";
        case Rejection::expected_member_name:
            return "a member name (a string) was expected";
        case Rejection::expected_colon:
            return "a colon was expected after the member name";
        case Rejection::expected_comma_or_close:
            return "a comma or the closing mark was expected";
        case Rejection::expected_value:
            return "a value was expected";
        case Rejection::unterminated_string:
            return "a string is not closed";
        case Rejection::control_character_in_string:
            return "a raw control character in a string";
        case Rejection::unknown_escape:
            return "an unknown escape in a string";
        case Rejection::bad_unicode_escape:
            return "\\u is not followed by four hexadecimal digits";
        case Rejection::lone_surrogate:
            return "a surrogate escape without its pair";
        case Rejection::bad_number:
            return "a malformed number";
        case Rejection::leading_zero:
            return "a number with a leading zero";
        case Rejection::integer_too_large:
            return "a number above 18446744073709551615";
        case Rejection::not_an_integer:
            return "a number with a sign, fraction or exponent where a whole number goes";
        case Rejection::trailing_data:
            return "data after the end of the document";
        case Rejection::action_not_a_string:
            return "action is not a string";
        case Rejection::repeated_member:
            return "a member appears twice";
        case Rejection::missing_member:
            return "a member is missing (both action and nonce are needed)";
        case Rejection::unexpected_member:
            return "a member the helper does not write here";
        case Rejection::not_the_helpers_bytes:
            return "not the exact bytes the helper writes";
    }
    return "an unknown rule";
}

}  // namespace

std::string describe_rejection(const ParseFailure& failure) {
    std::string text(rejection_text(failure.rule));
    switch (failure.rule) {
        case Rejection::cannot_open:
        case Rejection::not_a_plain_file:
        case Rejection::cannot_read:
        case Rejection::too_large:
        case Rejection::not_utf8:
            break;  // about the file as a whole
        default:
            text += " (at byte " + std::to_string(failure.offset) + ")";
            break;
    }
    return text;
}

bool JsonReader::fail(Rejection rule) noexcept {
    // The innermost rule is recorded first; callers that pass the failure on
    // keep it.
    if (failure_.rule == Rejection::none) {
        failure_ = {rule, static_cast<std::size_t>(pos_ - begin_)};
    }
    return false;
}

bool JsonReader::read_string(std::string& out) {
    return scan_string<true>(&out);
}

bool JsonReader::skip_string() {
    return scan_string<false>(nullptr);
}

bool JsonReader::read_escaped_member_name(std::string& scratch, std::string_view& name) {
    scratch.clear();
    if (!read_string(scratch)) {
        return false;
    }
    name = scratch;
    return true;
}

template <bool kDecode>
bool JsonReader::scan_string(std::string* out) {
    ++pos_;  // the opening quotation mark
    for (;;) {
        const char* run_end = skip_plain_run(pos_, end_);
        if constexpr (kDecode) {
            out->append(pos_, run_end);
        }
        pos_ = run_end;
        switch (peek()) {
            case '"':
                ++pos_;
                return true;
            case '\\':
                ++pos_;
                if (!scan_escape<kDecode>(out)) {
                    return false;
                }
                break;
            case kEndOfText:
                return fail(Rejection::unterminated_string);
            default:
                return fail(Rejection::control_character_in_string);
        }
    }
}

template <bool kDecode>
bool JsonReader::scan_escape(std::string* out) {
    switch (peek()) {
        case 'u': {
            ++pos_;
            std::uint32_t unit = 0;
            if (!read_hex4(unit)) {
                return false;
            }
            if constexpr (kDecode) {
                if (is_low_surrogate(unit)) {
                    return fail(Rejection::lone_surrogate);
                }
                if (is_high_surrogate(unit)) {
                    std::uint32_t low = 0;
                    if (!consume('\\') || !consume('u')) {
                        return fail(Rejection::lone_surrogate);
                    }
                    if (!read_hex4(low)) {
                        return false;
                    }
                    if (!is_low_surrogate(low)) {
                        return fail(Rejection::lone_surrogate);
                    }
                    unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
                }
                platform::append_utf8(*out, static_cast<char32_t>(unit));
            }
            return true;
        }
        default: {
            const ShortEscape* escape = find_short_escape(&ShortEscape::letter, peek());
            if (escape == nullptr) {
                return fail(Rejection::unknown_escape);
            }
            ++pos_;
            if constexpr (kDecode) {
                out->push_back(escape->byte);
            }
            return true;
        }
    }
}

bool JsonReader::read_hex4(std::uint32_t& unit) noexcept {
    if (end_ - pos_ < 4) {
        return fail(Rejection::bad_unicode_escape);
    }
    unit = 0;
    for (int i = 0; i < 4; ++i) {
        const std::int8_t digit = kHexValue[static_cast<unsigned char>(pos_[i])];
        if (digit < 0) {
            return fail(Rejection::bad_unicode_escape);
        }
        unit = (unit << 4) | static_cast<std::uint32_t>(digit);
    }
    pos_ += 4;
    return true;
}

bool JsonReader::read_literal(std::string_view word) noexcept {
    if (static_cast<std::size_t>(end_ - pos_) < word.size() ||
        std::string_view(pos_, word.size()) != word) {
        return fail(Rejection::expected_value);
    }
    pos_ += word.size();
    return true;
}

// The open brackets and braces are kept in `open_` on the heap rather than in
// nested calls: a document of a megabyte can nest a million levels, far more
// than a thread's stack holds as call frames.
bool JsonReader::skip_value() {
    open_.clear();
    for (;;) {
        // At the start of a value.
        skip_white_space();
        switch (peek()) {
            case '[':
                ++pos_;
                skip_white_space();
                if (!consume(']')) {
                    open_.push_back('[');
                    continue;
                }
                break;
            case '{':
                ++pos_;
                skip_white_space();
                if (!consume('}')) {
                    open_.push_back('{');
                    if (!skip_member_name()) {
                        return false;
                    }
                    continue;
                }
                break;
            default:
                if (!skip_scalar()) {
                    return false;
                }
                break;
        }
        // A value has ended: close every level that ends with it.
        for (;;) {
            if (open_.empty()) {
                return true;
            }
            skip_white_space();
            const int next = peek();
            const char opened = open_.back();
            if (next == ',') {
                ++pos_;
                if (opened == '{' && !skip_member_name()) {
                    return false;
                }
                break;
            }
            // The closing mark is the opening one plus two, in ASCII.
            if (next != opened + 2) {
                return fail(Rejection::expected_comma_or_close);
            }
            ++pos_;
            open_.pop_back();
        }
    }
}

// A name and its colon, inside a skipped object.
bool JsonReader::skip_member_name() {
    skip_white_space();
    if (peek() != '"') {
        return fail(Rejection::expected_member_name);
    }
    if (!skip_string()) {
        return false;
    }
    skip_white_space();
    return consume(':') || fail(Rejection::expected_colon);
}

bool JsonReader::skip_scalar() {
    switch (peek()) {
        case '"':
            return skip_string();
        case 't':
            return read_literal("true");
        case 'f':
            return read_literal("false");
        case 'n':
            return read_literal("null");
        default:
            return skip_number();
    }
}

bool JsonReader::skip_number() noexcept {
    consume('-');
    if (!consume('0')) {
        const int first = peek();
        if (first < '1' || first > '9') {
            return fail(Rejection::expected_value);
        }
        skip_digits();
    }
    if (consume('.')) {
        if (!at_digit()) {
            return fail(Rejection::bad_number);
        }
        skip_digits();
    }
    if (consume('e') || consume('E')) {
        if (!consume('+')) {
            consume('-');
        }
        if (!at_digit()) {
            return fail(Rejection::bad_number);
        }
        skip_digits();
    }
    return true;
}

void write_json_string(std::string& out, std::string_view text) {
    static constexpr char kHexDigits[] = "0123456789abcdef";
    out.push_back('"');
    const char* p = text.data();
    const char* const end = p + text.size();
    for (;;) {
        const char* run_end = skip_plain_run(p, end);
        out.append(p, run_end);
        if (run_end == end) {
            break;
        }
        const auto byte = static_cast<unsigned char>(*run_end);
        p = run_end + 1;
        if (const ShortEscape* escape = find_short_escape(&ShortEscape::byte, *run_end)) {
            out.push_back('\\');
            out.push_back(escape->letter);
        } else {
            out.append("\\u00");
            out.push_back(kHexDigits[byte >> 4]);
            out.push_back(kHexDigits[byte & 0x0F]);
        }
    }
    out.push_back('"');
}

}  // namespace tarsel::exchange
