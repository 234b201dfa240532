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
