#include "reference_command.h"

#include <charconv>
#include <cstddef>
#include <optional>
#include <vector>

namespace tarsel::testing {
namespace {

// Thrown the moment the text breaks a rule; caught once at the top.
struct Rejected {};
struct TooDeep {};

// One character of a string as written: a byte that stands for itself (a raw
// byte, or a short escape such as \n already turned into its byte), or the
// 16-bit unit of a \uXXXX escape.
struct StringPiece {
    bool is_unit = false;
    unsigned value = 0;
};

enum class TokenType {
    begin_object,
    end_object,
    begin_array,
    end_array,
    colon,
    comma,
    string,
    number,
    literal
};

struct Token {
    TokenType type;
    std::string_view text;            // the number or literal as written
    std::vector<StringPiece> pieces;  // the string's content
};

bool is_white_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}
bool is_digit(char c) {
    return c >= '0' && c <= '9';
}
bool is_number_char(char c) {
    return is_digit(c) || c == '-' || c == '+' || c == '.' || c == 'e' || c == 'E';
}
bool is_lower_letter(char c) {
    return c >= 'a' && c <= 'z';
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// The RFC 8259 number: [ minus ] int [ frac ] [ exp ].
bool is_json_number(std::string_view s) {
    std::size_t i = 0;
    auto digits = [&] {
        const std::size_t start = i;
        while (i < s.size() && is_digit(s[i])) {
            ++i;
        }
        return i - start;
    };
    if (i < s.size() && s[i] == '-') {
        ++i;
    }
    if (i < s.size() && s[i] == '0') {
        ++i;
    } else if (i < s.size() && s[i] >= '1' && s[i] <= '9') {
        digits();
    } else {
        return false;
    }
    if (i < s.size() && s[i] == '.') {
        ++i;
        if (digits() == 0) {
            return false;
        }
    }
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
        ++i;
        if (i < s.size() && (s[i] == '+' || s[i] == '-')) {
            ++i;
        }
        if (digits() == 0) {
            return false;
        }
    }
    return i == s.size();
}

std::vector<StringPiece> read_string(std::string_view text, std::size_t& i) {
    std::vector<StringPiece> pieces;
    ++i;  // opening quotation mark
    for (;;) {
        if (i >= text.size()) {
            throw Rejected{};
        }
        const auto c = static_cast<unsigned char>(text[i]);
        if (c == '"') {
            ++i;
            return pieces;
        }
        if (c < 0x20) {
            throw Rejected{};
        }
        if (c != '\\') {
            pieces.push_back({false, c});
            ++i;
            continue;
        }
        if (i + 1 >= text.size()) {
            throw Rejected{};
        }
        const char e = text[i + 1];
        i += 2;
        switch (e) {
            case '"':
                pieces.push_back({false, '"'});
                break;
            case '\\':
                pieces.push_back({false, '\\'});
                break;
            case '/':
                pieces.push_back({false, '/'});
                break;
            case 'b':
                pieces.push_back({false, 0x08});
                break;
            case 'f':
                pieces.push_back({false, 0x0C});
                break;
            case 'n':
                pieces.push_back({false, 0x0A});
                break;
            case 'r':
                pieces.push_back({false, 0x0D});
                break;
            case 't':
                pieces.push_back({false, 0x09});
                break;
            case 'u': {
                if (i + 4 > text.size()) {
                    throw Rejected{};
                }
                unsigned unit = 0;
                for (int k = 0; k < 4; ++k) {
                    const int h = hex_value(text[i + k]);
                    if (h < 0) {
                        throw Rejected{};
                    }
                    unit = unit * 16 + static_cast<unsigned>(h);
                }
                i += 4;
                pieces.push_back({true, unit});
                break;
            }
            default:
                throw Rejected{};
        }
    }
}

std::vector<Token> tokenize(std::string_view text) {
    std::vector<Token> tokens;
    std::size_t i = 0;
    while (i < text.size()) {
        const char c = text[i];
        if (is_white_space(c)) {
            ++i;
        } else if (c == '{') {
            tokens.push_back({TokenType::begin_object, {}, {}});
            ++i;
        } else if (c == '}') {
            tokens.push_back({TokenType::end_object, {}, {}});
            ++i;
        } else if (c == '[') {
            tokens.push_back({TokenType::begin_array, {}, {}});
            ++i;
        } else if (c == ']') {
            tokens.push_back({TokenType::end_array, {}, {}});
            ++i;
        } else if (c == ':') {
            tokens.push_back({TokenType::colon, {}, {}});
            ++i;
        } else if (c == ',') {
            tokens.push_back({TokenType::comma, {}, {}});
            ++i;
        } else if (c == '"') {
            tokens.push_back({TokenType::string, {}, read_string(text, i)});
        } else if (c == '-' || is_digit(c)) {
            // Two number or literal tokens can never stand side by side in a
            // valid document, so taking the longest run loses nothing.
            const std::size_t start = i;
            while (i < text.size() && is_number_char(text[i])) {
                ++i;
            }
            const std::string_view number = text.substr(start, i - start);
            if (!is_json_number(number)) {
                throw Rejected{};
            }
            tokens.push_back({TokenType::number, number, {}});
        } else if (is_lower_letter(c)) {
            const std::size_t start = i;
            while (i < text.size() && is_lower_letter(text[i])) {
                ++i;
            }
            const std::string_view word = text.substr(start, i - start);
            if (word != "true" && word != "false" && word != "null") {
                throw Rejected{};
            }
            tokens.push_back({TokenType::literal, word, {}});
        } else {
            throw Rejected{};
        }
    }
    return tokens;
}

void append_code_point(std::string& out, unsigned cp) {
    if (cp <= 0x7F) {
        out += static_cast<char>(cp);
    } else if (cp <= 0x7FF) {
        out += static_cast<char>(0xC0 + cp / 64);
        out += static_cast<char>(0x80 + cp % 64);
    } else if (cp <= 0xFFFF) {
        out += static_cast<char>(0xE0 + cp / 4096);
        out += static_cast<char>(0x80 + cp / 64 % 64);
        out += static_cast<char>(0x80 + cp % 64);
    } else {
        out += static_cast<char>(0xF0 + cp / 262144);
        out += static_cast<char>(0x80 + cp / 4096 % 64);
        out += static_cast<char>(0x80 + cp / 64 % 64);
        out += static_cast<char>(0x80 + cp % 64);
    }
}

// The decoded text of a key or action, where surrogate escapes must pair up.
std::string decode_strictly(const std::vector<StringPiece>& pieces) {
    std::string out;
    for (std::size_t k = 0; k < pieces.size(); ++k) {
        const StringPiece& piece = pieces[k];
        if (!piece.is_unit) {
            out += static_cast<char>(piece.value);
            continue;
        }
        const unsigned unit = piece.value;
        if (unit >= 0xDC00 && unit <= 0xDFFF) {
            throw Rejected{};
        }
        if (unit >= 0xD800 && unit <= 0xDBFF) {
            if (k + 1 == pieces.size() || !pieces[k + 1].is_unit) {
                throw Rejected{};
            }
            const unsigned low = pieces[k + 1].value;
            if (low < 0xDC00 || low > 0xDFFF) {
                throw Rejected{};
            }
            append_code_point(out, 0x10000 + (unit - 0xD800) * 0x400 + (low - 0xDC00));
            ++k;
        } else {
            append_code_point(out, unit);
        }
    }
    return out;
}

// "0" or a non-zero digit and more digits, at most 2^64 - 1.
std::uint64_t integer_value(std::string_view text) {
    for (char c : text) {
        if (!is_digit(c)) {
            throw Rejected{};
        }
    }
    if (text.empty() || (text[0] == '0' && text.size() > 1)) {
        throw Rejected{};
    }
    constexpr std::string_view kMax = "18446744073709551615";
    if (text.size() > kMax.size() || (text.size() == kMax.size() && text > kMax)) {
        throw Rejected{};
    }
    std::uint64_t value = 0;
    std::from_chars(text.data(), text.data() + text.size(), value);
    return value;
}

class Parser {
  public:
    explicit Parser(std::vector<Token> tokens) : tokens_(std::move(tokens)) {}

    ReferenceVerdict document() {
        ReferenceVerdict verdict;
        if (is(TokenType::begin_object)) {
            command_object(verdict);
        } else if (is(TokenType::begin_array)) {
            command_array(verdict);
        } else {
            throw Rejected{};
        }
        if (at_ != tokens_.size()) {
            throw Rejected{};
        }
        verdict.kind = ReferenceVerdict::Kind::accepted;
        return verdict;
    }

  private:
    bool is(TokenType type) const { return at_ < tokens_.size() && tokens_[at_].type == type; }

    const Token& take(TokenType type) {
        if (!is(type)) {
            throw Rejected{};
        }
        return tokens_[at_++];
    }

    void command_object(ReferenceVerdict& verdict) {
        take(TokenType::begin_object);
        bool seen_action = false;
        bool seen_nonce = false;
        if (!is(TokenType::end_object)) {
            for (;;) {
                const std::string key = decode_strictly(take(TokenType::string).pieces);
                take(TokenType::colon);
                if (key == "action") {
                    if (seen_action) {
                        throw Rejected{};
                    }
                    seen_action = true;
                    verdict.action = decode_strictly(take(TokenType::string).pieces);
                } else if (key == "nonce") {
                    if (seen_nonce) {
                        throw Rejected{};
                    }
                    seen_nonce = true;
                    verdict.nonce = integer_value(take(TokenType::number).text);
                } else {
                    any_value(1);
                }
                if (is(TokenType::comma)) {
                    take(TokenType::comma);
                    continue;
                }
                break;
            }
        }
        take(TokenType::end_object);
        if (!seen_action || !seen_nonce) {
            throw Rejected{};
        }
    }

    void command_array(ReferenceVerdict& verdict) {
        take(TokenType::begin_array);
        verdict.action = decode_strictly(take(TokenType::string).pieces);
        take(TokenType::comma);
        verdict.nonce = integer_value(take(TokenType::number).text);
        take(TokenType::end_array);
    }

    // Any value at all; strings inside need only be well formed.
    void any_value(int depth) {
        if (depth > kReferenceMaxDepth) {
            throw TooDeep{};
        }
        if (is(TokenType::string) || is(TokenType::number) || is(TokenType::literal)) {
            ++at_;
        } else if (is(TokenType::begin_array)) {
            take(TokenType::begin_array);
            if (!is(TokenType::end_array)) {
                any_value(depth + 1);
                while (is(TokenType::comma)) {
                    take(TokenType::comma);
                    any_value(depth + 1);
                }
            }
            take(TokenType::end_array);
        } else if (is(TokenType::begin_object)) {
            take(TokenType::begin_object);
            if (!is(TokenType::end_object)) {
                any_member(depth);
                while (is(TokenType::comma)) {
                    take(TokenType::comma);
                    any_member(depth);
                }
            }
            take(TokenType::end_object);
        } else {
            throw Rejected{};
        }
    }

    void any_member(int depth) {
        take(TokenType::string);
        take(TokenType::colon);
        any_value(depth + 1);
    }

    std::vector<Token> tokens_;
    std::size_t at_ = 0;
};

}  // namespace

ReferenceVerdict reference_parse_command(std::string_view text) {
    try {
        return Parser(tokenize(text)).document();
    } catch (const Rejected&) {
        return {};
    } catch (const TooDeep&) {
        return {ReferenceVerdict::Kind::too_deep, {}, 0};
    }
}

bool reference_is_utf8(std::string_view bytes) {
    // Each row: the range of the first byte, the range of the second, and how
    // many bytes the sequence has; every later byte is 80..BF.
    struct Form {
        unsigned first_low, first_high, second_low, second_high;
        std::size_t length;
    };
    static constexpr Form kForms[] = {
        {0x00, 0x7F, 0x00, 0x00, 1}, {0xC2, 0xDF, 0x80, 0xBF, 2}, {0xE0, 0xE0, 0xA0, 0xBF, 3},
        {0xE1, 0xEC, 0x80, 0xBF, 3}, {0xED, 0xED, 0x80, 0x9F, 3}, {0xEE, 0xEF, 0x80, 0xBF, 3},
        {0xF0, 0xF0, 0x90, 0xBF, 4}, {0xF1, 0xF3, 0x80, 0xBF, 4}, {0xF4, 0xF4, 0x80, 0x8F, 4},
    };
    std::size_t i = 0;
    while (i < bytes.size()) {
        const auto first = static_cast<unsigned char>(bytes[i]);
        const Form* form = nullptr;
        for (const Form& f : kForms) {
            if (first >= f.first_low && first <= f.first_high) {
                form = &f;
            }
        }
        if (form == nullptr || i + form->length > bytes.size()) {
            return false;
        }
        for (std::size_t k = 1; k < form->length; ++k) {
            const auto b = static_cast<unsigned char>(bytes[i + k]);
            const unsigned low = k == 1 ? form->second_low : 0x80;
            const unsigned high = k == 1 ? form->second_high : 0xBF;
            if (b < low || b > high) {
                return false;
            }
        }
        i += form->length;
    }
    return true;
}

}  // namespace tarsel::testing
