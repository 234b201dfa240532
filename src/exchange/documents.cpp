#include "exchange/documents.h"

#include <array>
#include <charconv>
#include <cstring>
#include <limits>
#include <vector>

#include "platform/files.h"
#include "platform/text.h"

namespace tarsel::exchange {
namespace {

// Byte classes shared by the reader and the writer. "Special" are the bytes
// that end a run of plain string content in both directions: the quotation
// mark, the backslash and the raw control characters.
enum : std::uint8_t {
    kStringSpecial = 1,
    kWhiteSpace = 2,
    kDigit = 4,
};

constexpr std::array<std::uint8_t, 256> kByteClass = [] {
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

bool has_class(char byte, std::uint8_t bits) noexcept {
    return (kByteClass[static_cast<unsigned char>(byte)] & bits) != 0;
}

// True when any of the eight bytes is special. The checks are exact for "any",
// which is all the caller needs: it then finds the byte itself with the table.
bool word_has_special(std::uint64_t word) noexcept {
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
const char* skip_plain_run(const char* p, const char* end) noexcept {
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

void append_utf8(std::string& out, std::uint32_t code_point) {
    if (code_point < 0x80) {
        out.push_back(static_cast<char>(code_point));
    } else if (code_point < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (code_point >> 6)));
        out.push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
    } else if (code_point < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (code_point >> 12)));
        out.push_back(static_cast<char>(0x80 | ((code_point >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (code_point >> 18)));
        out.push_back(static_cast<char>(0x80 | ((code_point >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((code_point >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
    }
}

bool is_high_surrogate(std::uint32_t unit) noexcept {
    return unit >= 0xD800 && unit <= 0xDBFF;
}
bool is_low_surrogate(std::uint32_t unit) noexcept {
    return unit >= 0xDC00 && unit <= 0xDFFF;
}

// Reads one command document straight off the bytes. Every parse function
// returns false on the first violation and the whole document is then
// rejected, so no function needs to undo what it consumed.
class CommandReader {
  public:
    explicit CommandReader(std::string_view text) noexcept
        : pos_(text.data()), end_(text.data() + text.size()) {}

    bool parse_document(HelperCommand& command) {
        skip_white_space();
        bool parsed = false;
        switch (peek()) {
            case '{':
                parsed = parse_object(command);
                break;
            case '[':
                parsed = parse_array(command);
                break;
            default:
                return false;
        }
        if (!parsed) {
            return false;
        }
        skip_white_space();
        return pos_ == end_;
    }

  private:
    // Outside the range of a byte, so that a NUL in the text is never taken
    // for the end of it.
    static constexpr int kEndOfText = -1;

    int peek() const noexcept {
        return pos_ == end_ ? kEndOfText : static_cast<unsigned char>(*pos_);
    }

    bool consume(char expected) noexcept {
        if (pos_ != end_ && *pos_ == expected) {
            ++pos_;
            return true;
        }
        return false;
    }

    void skip_white_space() noexcept {
        while (pos_ != end_ && has_class(*pos_, kWhiteSpace)) {
            ++pos_;
        }
    }

    void skip_digits() noexcept {
        while (pos_ != end_ && has_class(*pos_, kDigit)) {
            ++pos_;
        }
    }

    bool at_digit() const noexcept { return pos_ != end_ && has_class(*pos_, kDigit); }

    bool parse_object(HelperCommand& command) {
        ++pos_;  // the brace
        bool seen_action = false;
        bool seen_nonce = false;
        std::string key;
        skip_white_space();
        if (consume('}')) {
            return false;  // neither member present
        }
        for (;;) {
            skip_white_space();
            if (peek() != '"') {
                return false;
            }
            std::string_view key_text;
            if (!parse_key(key, key_text)) {
                return false;
            }
            skip_white_space();
            if (!consume(':')) {
                return false;
            }
            skip_white_space();
            if (key_text == "action") {
                // Many readers keep the last of two equal keys; taking either
                // silently would let a crafted document mean two things.
                if (seen_action || peek() != '"' || !parse_string(&command.action)) {
                    return false;
                }
                seen_action = true;
            } else if (key_text == "nonce") {
                if (seen_nonce || !parse_integer(command.nonce)) {
                    return false;
                }
                seen_nonce = true;
            } else if (!skip_value()) {
                return false;
            }
            skip_white_space();
            if (consume(',')) {
                continue;
            }
            if (consume('}')) {
                return seen_action && seen_nonce;
            }
            return false;
        }
    }

    bool parse_array(HelperCommand& command) {
        ++pos_;  // the bracket
        skip_white_space();
        if (peek() != '"' || !parse_string(&command.action)) {
            return false;
        }
        skip_white_space();
        if (!consume(',')) {
            return false;
        }
        skip_white_space();
        if (!parse_integer(command.nonce)) {
            return false;
        }
        skip_white_space();
        return consume(']');
    }

    // At a quotation mark. A key without escapes, nearly every key, is
    // compared where it stands in the text; only one with escapes is decoded
    // into `scratch` first.
    bool parse_key(std::string& scratch, std::string_view& key) {
        const char* const start = pos_ + 1;
        const char* const run_end = skip_plain_run(start, end_);
        if (run_end != end_ && *run_end == '"') {
            key = std::string_view(start, static_cast<std::size_t>(run_end - start));
            pos_ = run_end + 1;
            return true;
        }
        scratch.clear();
        if (!parse_string(&scratch)) {
            return false;
        }
        key = scratch;
        return true;
    }

    // At a quotation mark. With `decoded`, the text is decoded into it and
    // surrogate escapes must pair up; without, the string is only checked, and
    // lone surrogate escapes pass, as they may inside skipped values.
    bool parse_string(std::string* decoded) {
        ++pos_;  // the opening quotation mark
        for (;;) {
            const char* run_end = skip_plain_run(pos_, end_);
            if (decoded != nullptr) {
                decoded->append(pos_, run_end);
            }
            pos_ = run_end;
            switch (peek()) {
                case '"':
                    ++pos_;
                    return true;
                case '\\':
                    ++pos_;
                    if (!parse_escape(decoded)) {
                        return false;
                    }
                    break;
                default:
                    return false;  // a raw control character, or the end of the text
            }
        }
    }

    bool parse_escape(std::string* decoded) {
        char simple = 0;
        switch (peek()) {
            case '"':
                simple = '"';
                break;
            case '\\':
                simple = '\\';
                break;
            case '/':
                simple = '/';
                break;
            case 'b':
                simple = '\b';
                break;
            case 'f':
                simple = '\f';
                break;
            case 'n':
                simple = '\n';
                break;
            case 'r':
                simple = '\r';
                break;
            case 't':
                simple = '\t';
                break;
            case 'u':
                ++pos_;
                return parse_unicode_escape(decoded);
            default:
                return false;
        }
        ++pos_;
        if (decoded != nullptr) {
            decoded->push_back(simple);
        }
        return true;
    }

    // After backslash-u.
    bool parse_unicode_escape(std::string* decoded) {
        std::uint32_t unit = 0;
        if (!parse_hex4(unit)) {
            return false;
        }
        if (decoded == nullptr) {
            return true;
        }
        if (is_low_surrogate(unit)) {
            return false;
        }
        if (is_high_surrogate(unit)) {
            std::uint32_t low = 0;
            if (!consume('\\') || !consume('u') || !parse_hex4(low) || !is_low_surrogate(low)) {
                return false;
            }
            unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
        }
        append_utf8(*decoded, unit);
        return true;
    }

    bool parse_hex4(std::uint32_t& unit) noexcept {
        if (end_ - pos_ < 4) {
            return false;
        }
        unit = 0;
        for (int i = 0; i < 4; ++i) {
            const std::int8_t digit = kHexValue[static_cast<unsigned char>(pos_[i])];
            if (digit < 0) {
                return false;
            }
            unit = (unit << 4) | static_cast<std::uint32_t>(digit);
        }
        pos_ += 4;
        return true;
    }

    // The token as written: no sign, no leading zero, no fraction or exponent,
    // and nothing above 2^64-1. It is never converted through floating point,
    // which could not hold every 64-bit nonce.
    bool parse_integer(std::uint64_t& value) noexcept {
        const int first = peek();
        if (first == '0') {
            ++pos_;
            value = 0;
        } else if (first >= '1' && first <= '9') {
            std::uint64_t accumulated = 0;
            while (at_digit()) {
                const auto digit = static_cast<std::uint64_t>(*pos_ - '0');
                if (accumulated > (std::numeric_limits<std::uint64_t>::max() - digit) / 10) {
                    return false;
                }
                accumulated = accumulated * 10 + digit;
                ++pos_;
            }
            value = accumulated;
        } else {
            return false;
        }
        const int next = peek();
        return next != '.' && next != 'e' && next != 'E' && !at_digit();
    }

    // Any well-formed value, at any depth. The open brackets and braces are
    // kept in `open_` on the heap rather than in nested calls: a document of
    // a megabyte can nest a million levels, far more than a thread's stack
    // holds as call frames.
    bool skip_value() {
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
                        if (!skip_member_key()) {
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
                    if (opened == '{' && !skip_member_key()) {
                        return false;
                    }
                    break;
                }
                // The closing mark is the opening one plus two, in ASCII.
                if (next != opened + 2) {
                    return false;
                }
                ++pos_;
                open_.pop_back();
            }
        }
    }

    // A key and its colon, inside a skipped object.
    bool skip_member_key() {
        skip_white_space();
        if (peek() != '"' || !parse_string(nullptr)) {
            return false;
        }
        skip_white_space();
        return consume(':');
    }

    bool skip_scalar() {
        switch (peek()) {
            case '"':
                return parse_string(nullptr);
            case 't':
                return skip_literal("true");
            case 'f':
                return skip_literal("false");
            case 'n':
                return skip_literal("null");
            default:
                return skip_number();
        }
    }

    bool skip_literal(std::string_view word) noexcept {
        if (static_cast<std::size_t>(end_ - pos_) < word.size() ||
            std::string_view(pos_, word.size()) != word) {
            return false;
        }
        pos_ += word.size();
        return true;
    }

    bool skip_number() noexcept {
        consume('-');
        if (!consume('0')) {
            const int first = peek();
            if (first < '1' || first > '9') {
                return false;
            }
            skip_digits();
        }
        if (consume('.')) {
            if (!at_digit()) {
                return false;
            }
            skip_digits();
        }
        if (consume('e') || consume('E')) {
            if (!consume('+')) {
                consume('-');
            }
            if (!at_digit()) {
                return false;
            }
            skip_digits();
        }
        return true;
    }

    const char* pos_;
    const char* end_;
    std::vector<char> open_;  // one '[' or '{' per open level of a skipped value
};

}  // namespace

std::expected<HelperCommand, ParseFailure> parse_command(std::string_view text) {
    HelperCommand command;
    if (!CommandReader(text).parse_document(command)) {
        return std::unexpected(ParseFailure{});
    }
    return command;
}

std::optional<HelperCommand> read_command(const platform::Path& path) {
    CommandFileReader reader(path);
    const HelperCommand* command = reader.read();
    if (command == nullptr) {
        return std::nullopt;
    }
    return *command;
}

CommandFileReader::CommandFileReader(platform::Path path)
    : file_(std::move(path), kMaxCommandBytes) {}

const HelperCommand* CommandFileReader::read() {
    const auto bytes = file_.read();
    if (!bytes || !platform::is_valid_utf8(*bytes)) {
        return nullptr;
    }
    // Parsing into the kept command reuses the storage of its action text.
    command_.action.clear();
    if (!CommandReader(*bytes).parse_document(command_)) {
        return nullptr;
    }
    return &command_;
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
        switch (byte) {
            case '"':
                out.append("\\\"");
                break;
            case '\\':
                out.append("\\\\");
                break;
            case '\b':
                out.append("\\b");
                break;
            case '\t':
                out.append("\\t");
                break;
            case '\n':
                out.append("\\n");
                break;
            case '\f':
                out.append("\\f");
                break;
            case '\r':
                out.append("\\r");
                break;
            default:
                out.append("\\u00");
                out.push_back(kHexDigits[byte >> 4]);
                out.push_back(kHexDigits[byte & 0x0F]);
                break;
        }
    }
    out.push_back('"');
}

std::string encode_result(const HelperResult& result) {
    std::string out;
    out.reserve(48 + (result.error ? result.error->size() + 16 : 0));
    out.push_back('{');
    write_json_string(out, "nonce");
    out.push_back(':');
    char digits[std::numeric_limits<std::uint64_t>::digits10 + 1];
    const auto converted = std::to_chars(std::begin(digits), std::end(digits), result.nonce);
    out.append(digits, converted.ptr);
    out.push_back(',');
    write_json_string(out, "ok");
    out.push_back(':');
    out.append(result.ok ? "true" : "false");
    if (result.error) {
        out.push_back(',');
        write_json_string(out, "error");
        out.push_back(':');
        write_json_string(out, *result.error);
    }
    out.push_back('}');
    return out;
}

void write_result(const platform::Path& path, const HelperResult& result) {
    // Encoding before the file is opened keeps the moment in which the client
    // can find the file empty or half written down to a single write.
    const std::string document = encode_result(result);
    // Nobody could be told: the command still counts as handled.
    (void)platform::replace_file_content(path, document);
}

}  // namespace tarsel::exchange
