#include "oracle.h"

#include <cstdio>

namespace tarsel::testing {
namespace {

std::string escaped(std::string_view bytes) {
    std::string out;
    for (const char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        if (b >= 0x20 && b < 0x7F && b != '\\') {
            out += c;
        } else {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02x", b);
            out += hex;
        }
    }
    return out;
}

}  // namespace

ReferenceVerdict reference_read_command(std::string_view bytes) {
    if (bytes.size() > 1048576 || !reference_is_utf8(bytes)) {
        return {};
    }
    return reference_parse_command(bytes);
}

std::string disagreement(std::string_view input, const ReferenceVerdict& expected,
                         const std::optional<exchange::HelperCommand>& actual) {
    using Kind = ReferenceVerdict::Kind;
    if (expected.kind == Kind::too_deep) {
        return {};
    }
    const bool accepted = expected.kind == Kind::accepted;
    if (accepted == actual.has_value() &&
        (!accepted || (actual->action == expected.action && actual->nonce == expected.nonce))) {
        return {};
    }
    std::string text = "input \"" + escaped(input.substr(0, 400)) + "\": reference ";
    text += accepted ? "accepts {\"" + escaped(expected.action) + "\", " +
                           std::to_string(expected.nonce) + "}"
                     : "rejects";
    text += ", product ";
    text += actual ? "accepts {\"" + escaped(actual->action) + "\", " +
                         std::to_string(actual->nonce) + "}"
                   : "rejects";
    return text;
}

}  // namespace tarsel::testing
