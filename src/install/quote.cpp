#include "install/quote.h"

namespace tarsel::install {
namespace {

bool needs_quotes(std::u16string_view text) {
    return text.empty() || text.find_first_of(u"\t\n\v \"") != std::u16string_view::npos;
}

}  // namespace

std::u16string quote_command_argument(std::u16string_view text) {
    if (!needs_quotes(text)) {
        return std::u16string(text);
    }
    std::u16string quoted;
    quoted.reserve(text.size() + 2);
    quoted.push_back(u'"');
    std::size_t i = 0;
    while (i < text.size()) {
        std::size_t backslashes = 0;
        while (i < text.size() && text[i] == u'\\') {
            ++backslashes;
            ++i;
        }
        if (i == text.size()) {
            // Doubled, so the closing quote is not taken as escaped.
            quoted.append(2 * backslashes, u'\\');
        } else if (text[i] == u'"') {
            quoted.append(2 * backslashes + 1, u'\\');
            quoted.push_back(u'"');
            ++i;
        } else {
            // Backslashes not followed by a quote mean themselves.
            quoted.append(backslashes, u'\\');
            quoted.push_back(text[i]);
            ++i;
        }
    }
    quoted.push_back(u'"');
    return quoted;
}

}  // namespace tarsel::install
