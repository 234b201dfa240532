#pragma once

// The three readers under comparison, each doing the least work that still
// checks the whole document, UTF-8 included: ours validates the bytes and
// parses the command; RapidJSON runs its iterative validating reader into a
// handler that keeps nothing; simdjson builds its DOM, which checks every
// byte. Each returns whether the document was accepted.
#include <rapidjson/reader.h>
#include <simdjson.h>

#include <string>

#include "exchange/documents.h"
#include "platform/text.h"

namespace tarsel::bench {

inline bool read_tarsel(const std::string& text) {
    return platform::is_valid_utf8(text) && exchange::parse_command(text).has_value();
}

inline bool read_rapidjson(const std::string& text) {
    constexpr unsigned kFlags =
        rapidjson::kParseIterativeFlag | rapidjson::kParseValidateEncodingFlag;
    rapidjson::Reader reader;
    rapidjson::BaseReaderHandler<> handler;
    rapidjson::StringStream stream(text.c_str());
    return !reader.Parse<kFlags>(stream, handler).IsError();
}

inline bool read_simdjson(simdjson::dom::parser& parser, const simdjson::padded_string& text) {
    simdjson::dom::element root;
    return parser.parse(text).get(root) == simdjson::SUCCESS;
}

}  // namespace tarsel::bench
