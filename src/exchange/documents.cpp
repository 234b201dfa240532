#include "exchange/documents.h"

#include <charconv>
#include <limits>

#include "exchange/json.h"
#include "platform/files.h"
#include "platform/text.h"

namespace tarsel::exchange {
namespace {

// The command rules over the JSON reader: the object form with unknown members
// skipped, or the two-element array form, and nothing after it.
class CommandReader {
  public:
    explicit CommandReader(std::string_view text) noexcept : json_(text) {}

    bool parse_document(HelperCommand& command) {
        json_.skip_white_space();
        bool parsed = false;
        switch (json_.peek()) {
            case '{':
                parsed = parse_object(command);
                break;
            case '[':
                parsed = parse_array(command);
                break;
            default:
                return json_.fail(Rejection::not_an_object_or_array);
        }
        if (!parsed) {
            return false;
        }
        json_.skip_white_space();
        return json_.at_end() || json_.fail(Rejection::trailing_data);
    }

    [[nodiscard]] ParseFailure failure() const noexcept { return json_.failure(); }

  private:
    bool parse_object(HelperCommand& command) {
        json_.consume('{');
        bool seen_action = false;
        bool seen_nonce = false;
        std::string name_scratch;
        json_.skip_white_space();
        if (json_.consume('}')) {
            return json_.fail(Rejection::missing_member);
        }
        for (;;) {
            json_.skip_white_space();
            if (json_.peek() != '"') {
                return json_.fail(Rejection::expected_member_name);
            }
            std::string_view name;
            if (!json_.read_member_name(name_scratch, name)) {
                return false;
            }
            json_.skip_white_space();
            if (!json_.consume(':')) {
                return json_.fail(Rejection::expected_colon);
            }
            json_.skip_white_space();
            if (name == "action") {
                // Many readers keep the last of two equal names; taking either
                // silently would let a crafted document mean two things.
                if (seen_action) {
                    return json_.fail(Rejection::repeated_member);
                }
                if (!parse_action(command)) {
                    return false;
                }
                seen_action = true;
            } else if (name == "nonce") {
                if (seen_nonce) {
                    return json_.fail(Rejection::repeated_member);
                }
                if (!json_.read_uint64(command.nonce)) {
                    return false;
                }
                seen_nonce = true;
            } else if (!json_.skip_value()) {
                return false;
            }
            json_.skip_white_space();
            if (json_.consume(',')) {
                continue;
            }
            if (json_.peek() == '}') {
                if (!seen_action || !seen_nonce) {
                    return json_.fail(Rejection::missing_member);
                }
                json_.consume('}');
                return true;
            }
            return json_.fail(Rejection::expected_comma_or_close);
        }
    }

    bool parse_array(HelperCommand& command) {
        json_.consume('[');
        json_.skip_white_space();
        if (!parse_action(command)) {
            return false;
        }
        json_.skip_white_space();
        if (!json_.consume(',')) {
            return json_.fail(Rejection::expected_comma_or_close);
        }
        json_.skip_white_space();
        if (!json_.read_uint64(command.nonce)) {
            return false;
        }
        json_.skip_white_space();
        return json_.consume(']') || json_.fail(Rejection::expected_comma_or_close);
    }

    bool parse_action(HelperCommand& command) {
        if (json_.peek() != '"') {
            return json_.fail(Rejection::action_not_a_string);
        }
        return json_.read_string(command.action);
    }

    JsonReader json_;
};

Rejection file_rejection(platform::ReadFailure failure) noexcept {
    switch (failure) {
        case platform::ReadFailure::open_failed:
            return Rejection::cannot_open;
        case platform::ReadFailure::not_a_plain_file:
            return Rejection::not_a_plain_file;
        case platform::ReadFailure::read_failed:
            return Rejection::cannot_read;
        case platform::ReadFailure::too_large:
            return Rejection::too_large;
    }
    return Rejection::cannot_read;
}

// At a member name: true when it is `expected`, and then its colon.
bool expect_member(JsonReader& json, std::string& scratch, std::string_view expected) {
    if (json.peek() != '"') {
        return json.fail(Rejection::expected_member_name);
    }
    std::string_view name;
    if (!json.read_member_name(scratch, name)) {
        return false;
    }
    if (name != expected) {
        return json.fail(Rejection::unexpected_member);
    }
    return json.consume(':') || json.fail(Rejection::expected_colon);
}

}  // namespace

std::expected<HelperCommand, ParseFailure> parse_command(std::string_view text) {
    HelperCommand command;
    CommandReader reader(text);
    if (!reader.parse_document(command)) {
        return std::unexpected(reader.failure());
    }
    return command;
}

std::optional<HelperCommand> read_command(const platform::Path& path) {
    auto command = examine_command(path);
    if (!command) {
        return std::nullopt;
    }
    return std::move(*command);
}

std::expected<HelperCommand, ParseFailure> examine_command(const platform::Path& path) {
    CommandFileReader reader(path);
    const HelperCommand* command = reader.read();
    if (command == nullptr) {
        return std::unexpected(reader.failure());
    }
    return *command;
}

CommandFileReader::CommandFileReader(platform::Path path)
    : file_(std::move(path), kMaxCommandBytes) {}

const HelperCommand* CommandFileReader::read() {
    const auto bytes = file_.read();
    if (!bytes) {
        failure_ = {file_rejection(bytes.error()), 0};
        return nullptr;
    }
    if (!platform::is_valid_utf8(*bytes)) {
        failure_ = {Rejection::not_utf8, 0};
        return nullptr;
    }
    // Parsing into the kept command reuses the storage of its action text.
    command_.action.clear();
    CommandReader reader(*bytes);
    if (!reader.parse_document(command_)) {
        failure_ = reader.failure();
        return nullptr;
    }
    failure_ = {};
    return &command_;
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

std::optional<HelperResult> parse_result(std::string_view text) {
    JsonReader json(text);
    std::string scratch;
    HelperResult result;
    if (!json.consume('{') || !expect_member(json, scratch, "nonce") ||
        !json.read_uint64(result.nonce) || !json.consume(',') ||
        !expect_member(json, scratch, "ok")) {
        return std::nullopt;
    }
    if (json.peek() == 't') {
        if (!json.read_literal("true")) {
            return std::nullopt;
        }
        result.ok = true;
    } else {
        std::string error;
        if (!json.read_literal("false") || !json.consume(',') ||
            !expect_member(json, scratch, "error") || json.peek() != '"' ||
            !json.read_string(error)) {
            return std::nullopt;
        }
        result.error = std::move(error);
    }
    if (!json.consume('}') || !json.at_end()) {
        return std::nullopt;
    }
    // The reader also takes spellings the writer never uses (an escaped
    // solidus, \u0041); only the helper's own bytes count.
    if (encode_result(result) != text) {
        return std::nullopt;
    }
    return result;
}

void write_result(const platform::Path& path, const HelperResult& result) {
    // Encoding before the file is opened keeps the moment in which the client
    // can find the file empty or half written down to a single write.
    const std::string document = encode_result(result);
    // Nobody could be told: the command still counts as handled.
    (void)platform::replace_file_content(path, document);
}

}  // namespace tarsel::exchange
