#include "exchange/command_line.h"

#include "platform/text.h"

namespace tarsel::exchange {
namespace {

// The C runtime's parser reads 2n backslashes before a quote as n backslashes
// and a quote that opens or closes a quoted section, and 2n + 1 as n
// backslashes and a literal quote; backslashes before anything else are taken
// literally. Escaping every quote this way keeps the argument in one piece.
void append_argument(std::u16string& line, std::u16string_view argument) {
    const bool quoted = argument.empty() || argument.find_first_of(u" \t") != argument.npos;
    if (quoted) {
        line.push_back(u'"');
    }
    std::size_t backslashes = 0;
    for (char16_t unit : argument) {
        if (unit == u'\\') {
            ++backslashes;
            continue;
        }
        if (unit == u'"') {
            line.append(2 * backslashes + 1, u'\\');
        } else {
            line.append(backslashes, u'\\');
        }
        line.push_back(unit);
        backslashes = 0;
    }
    if (quoted) {
        // Undoubled, a trailing run would escape the closing quote.
        line.append(2 * backslashes, u'\\');
        line.push_back(u'"');
    } else {
        line.append(backslashes, u'\\');
    }
}

}  // namespace

std::u16string encode_command_line(std::u16string_view program,
                                   std::span<const std::string> arguments) {
    std::u16string line;
    line.push_back(u'"');
    line.append(program);
    line.push_back(u'"');
    for (const std::string& argument : arguments) {
        line.push_back(u' ');
        append_argument(line, platform::utf8_to_utf16(argument));
    }
    return line;
}

}  // namespace tarsel::exchange
