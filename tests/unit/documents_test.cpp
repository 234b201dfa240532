#include "exchange/documents.h"

#include <gtest/gtest.h>

#include <optional>
#include <ostream>
#include <string>

#include "platform/files.h"
#include "support/temp_dir.h"

namespace tarsel::exchange {

// Readable failures: the action is printed with its bytes escaped.
void PrintTo(const HelperCommand& command, std::ostream* os) {
    std::string action;
    write_json_string(action, command.action);
    *os << "{action " << action << ", nonce " << command.nonce << "}";
}

}  // namespace tarsel::exchange

namespace {

using namespace std::string_literals;
using tarsel::exchange::encode_result;
using tarsel::exchange::HelperCommand;
using tarsel::exchange::HelperResult;
using tarsel::exchange::parse_command;
using tarsel::exchange::read_command;
using tarsel::exchange::write_json_string;
using tarsel::exchange::write_result;
using tarsel::testing::read_file;
using tarsel::testing::TempDir;
using tarsel::testing::write_file;

std::optional<HelperCommand> parsed(std::string_view text) {
    auto command = parse_command(text);
    if (!command) {
        return std::nullopt;
    }
    return *command;
}

struct ParseRow {
    const char* desc;
    std::string text;
    std::optional<HelperCommand> expected;  // nothing: the document is rejected
};

void check_rows(const std::vector<ParseRow>& rows) {
    for (const ParseRow& row : rows) {
        SCOPED_TRACE(row.desc);
        EXPECT_EQ(parsed(row.text), row.expected) << "text: " << row.text;
    }
}

const std::optional<HelperCommand> kRejected;
const HelperCommand kUp1{"up", 1};

TEST(ParseCommand, DocumentFrameAndWhiteSpace) {
    check_rows({
        {"object", R"({"action":"up","nonce":1})", kUp1},
        {"members swapped", R"({"nonce":1,"action":"up"})", kUp1},
        {"all four white-space characters everywhere",
         " \t\r\n{ \"action\"\t: \"up\" ,\r\n\"nonce\"\n:\t1 \r}\n\t ", kUp1},
        {"followed by CR LF", "{\"action\":\"up\",\"nonce\":1}\r\n", kUp1},
        {"followed by a NUL", "{\"action\":\"up\",\"nonce\":1}\0"s, kRejected},
        {"NUL before the closing brace", "{\"action\":\"up\",\"nonce\":1\0}"s, kRejected},
        {"followed by x", R"({"action":"up","nonce":1}x)", kRejected},
        {"followed by a second object", R"({"action":"up","nonce":1}{})", kRejected},
        {"followed by a comment", R"({"action":"up","nonce":1}//)", kRejected},
        {"followed by a stray comma", R"({"action":"up","nonce":1},)", kRejected},
        {"byte-order mark first", "\xEF\xBB\xBF{\"action\":\"up\",\"nonce\":1}", kRejected},
        {"form feed is not white space", "\f{\"action\":\"up\",\"nonce\":1}", kRejected},
        {"vertical tab is not white space", "{\"action\":\"up\",\v\"nonce\":1}", kRejected},
        {"no-break space is not white space", "\xC2\xA0{\"action\":\"up\",\"nonce\":1}", kRejected},
        {"empty", "", kRejected},
        {"white space only", " \r\n\t\n", kRejected},
        {"null at the top", "null", kRejected},
        {"true at the top", "true", kRejected},
        {"number at the top", "5", kRejected},
        {"string at the top", R"("up")", kRejected},
        {"empty object", "{}", kRejected},
        {"unclosed object", R"({"action":"up","nonce":1)", kRejected},
    });
}

TEST(ParseCommand, ObjectMembers) {
    check_rows({
        {"action missing", R"({"nonce":1})", kRejected},
        {"nonce missing", R"({"action":"up"})", kRejected},
        {"action repeated", R"({"action":"up","nonce":1,"action":"down"})", kRejected},
        {"action repeated with the same value", R"({"action":"up","action":"up","nonce":1})",
         kRejected},
        {"nonce repeated", R"({"nonce":1,"action":"up","nonce":1})", kRejected},
        {"trailing comma", R"({"action":"up","nonce":1,})", kRejected},
        {"missing comma", R"({"action":"up" "nonce":1})", kRejected},
        {"leading comma", R"({,"action":"up","nonce":1})", kRejected},
        {"missing colon", R"({"action" "up","nonce":1})", kRejected},
        {"unquoted key", R"({action:"up","nonce":1})", kRejected},
        {"number as key", R"({1:2,"action":"up","nonce":1})", kRejected},
        {"keys are case-sensitive", R"({"Action":"up","nonce":1})", kRejected},
        {"NONCE is unknown", R"({"action":"up","NONCE":1})", kRejected},
        {"keys compared after decoding", R"({"\u0061ction":"up","n\u006fnce":1})", kUp1},
        {"key with a decoded NUL is another key", R"({"action\u0000":"x","action":"up","nonce":1})",
         kUp1},
        {"key with a lone surrogate escape", R"({"\ud800":1,"action":"up","nonce":1})", kRejected},
        {"action must be a string: number", R"({"action":5,"nonce":1})", kRejected},
        {"action must be a string: null", R"({"action":null,"nonce":1})", kRejected},
        {"action must be a string: array", R"({"action":["up"],"nonce":1})", kRejected},
        {"action must be a string: object", R"({"action":{},"nonce":1})", kRejected},
        {"action must be a string: boolean", R"({"action":true,"nonce":1})", kRejected},
        {"unknown member before the known ones", R"({"x":1,"action":"up","nonce":1})", kUp1},
        {"unknown members skipped whatever they hold, and may repeat",
         R"({"action":"up","nonce":1,"extra":{"a":[1,2.5e3,{"b":null}],"c":"\ud800"},"extra":true})",
         kUp1},
    });
}

TEST(ParseCommand, ArrayForm) {
    check_rows({
        {"two elements", R"(["down",5])", HelperCommand{"down", 5}},
        {"with white space", " [ \"down\" ,\n5 ] ", HelperCommand{"down", 5}},
        {"one element", R"(["down"])", kRejected},
        {"three elements", R"(["down",5,6])", kRejected},
        {"trailing comma after the second", R"(["down",5,])", kRejected},
        {"trailing comma after the first", R"(["down",])", kRejected},
        {"empty", "[]", kRejected},
        {"swapped", R"([5,"down"])", kRejected},
        {"missing comma", R"(["down" 5])", kRejected},
        {"unclosed", R"(["down",5)", kRejected},
        {"object as first element", R"([{},5])", kRejected},
        {"closed with a brace", R"(["down",5})", kRejected},
    });
}

TEST(ParseCommand, NonceIntegerToken) {
    const auto with_nonce = [](std::string token) {
        return R"({"action":"up","nonce":)" + token + "}";
    };
    const std::vector<std::pair<std::string, std::optional<std::uint64_t>>> tokens = {
        {"0", 0},
        {"1", 1},
        {"42", 42},
        {"18446744073709551615", 18446744073709551615u},
        {"18446744073709551616", std::nullopt},
        {"18446744073709551620", std::nullopt},
        {"99999999999999999999", std::nullopt},
        {"184467440737095516150", std::nullopt},
        {"007", std::nullopt},
        {"00", std::nullopt},
        {"-1", std::nullopt},
        {"-0", std::nullopt},
        {"+1", std::nullopt},
        {"1.0", std::nullopt},
        {"1.", std::nullopt},
        {"1e2", std::nullopt},
        {"1E2", std::nullopt},
        {"5E+0", std::nullopt},
        {"0e0", std::nullopt},
        {R"("1")", std::nullopt},
        {"null", std::nullopt},
        {"1x", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& [token, nonce] : tokens) {
        SCOPED_TRACE("nonce token " + token);
        const std::optional<HelperCommand> expected =
            nonce ? std::optional(HelperCommand{"up", *nonce}) : std::nullopt;
        EXPECT_EQ(parsed(with_nonce(token)), expected);
        // The array form reads its nonce by the same rules.
        EXPECT_EQ(parsed(R"(["up",)" + token + "]"), expected);
    }
}

TEST(ParseCommand, ActionStringDecoding) {
    const auto action = [](std::string literal) {
        return R"({"nonce":1,"action":)" + literal + "}";
    };
    const auto accepted = [](std::string text) { return HelperCommand{std::move(text), 1}; };
    check_rows({
        {"plain", action(R"("down")"), accepted("down")},
        {"empty text", action(R"("")"), accepted("")},
        {"unicode escape", action(R"("\u0075p")"), accepted("up")},
        {"hex digits in either case", action(R"("\u00E9\u00e9\u00Ea")"),
         accepted("\xC3\xA9\xC3\xA9\xC3\xAA")},
        {"surrogate pair", action(R"("\ud83d\ude00")"), accepted("\xF0\x9F\x98\x80")},
        {"highest pair", action(R"("\uDBFF\uDFFF")"), accepted("\xF4\x8F\xBF\xBF")},
        {"three-byte escape", action(R"("\u2028\uffff")"), accepted("\xE2\x80\xA8\xEF\xBF\xBF")},
        {"escaped NUL stays in the text", action(R"("a\u0000b")"), accepted("a\0b"s)},
        {"simple escapes", action(R"("\"\\\/\b\f\n\r\t")"), accepted("\"\\/\b\f\n\r\t")},
        {"raw DEL and non-ASCII stand for themselves", action("\"\x7F\xC3\xA9\xE2\x80\xA8\""),
         accepted("\x7F\xC3\xA9\xE2\x80\xA8")},
        {"long text with escapes between runs",
         action(R"("abcdefghijklmnopqrstuvwxyz\nABCDEFGHIJKLMNOPQRSTUVWXYZ\"0123456789")"),
         accepted("abcdefghijklmnopqrstuvwxyz\nABCDEFGHIJKLMNOPQRSTUVWXYZ\"0123456789")},
        {"high surrogate alone", action(R"("\ud83d")"), kRejected},
        {"low surrogate alone", action(R"("\ude00")"), kRejected},
        {"high surrogate then a character", action(R"("\ud83dx")"), kRejected},
        {"high surrogate then a non-surrogate escape", action(R"("\ud83d\u0041")"), kRejected},
        {"two high surrogates", action(R"("\ud83d\ud83d")"), kRejected},
        {"high surrogate then a simple escape", action(R"("\ud83d\n")"), kRejected},
        {"raw tab", action("\"a\tb\""), kRejected},
        {"raw NUL", action("\"a\0b\""s), kRejected},
        {"raw unit separator", action("\"\x1F\""), kRejected},
        {"unknown escape", action(R"("\x")"), kRejected},
        {"escaped single quote", action(R"("\'")"), kRejected},
        {"three hex digits", action(R"("\u123")"), kRejected},
        {"non-hex digit", action(R"("\u12G4")"), kRejected},
        {"upper-case U", action(R"("\U0075")"), kRejected},
        {"unterminated", R"({"nonce":1,"action":"up)", kRejected},
        {"backslash at the end", R"({"nonce":1,"action":"up\)", kRejected},
        {"escape cut short at the end", R"({"nonce":1,"action":"\u00)", kRejected},
    });
}

TEST(ParseCommand, SkippedValues) {
    const auto unknown = [](std::string value) {
        return R"({"action":"up","x":)" + value + R"(,"nonce":1})";
    };
    check_rows({
        {"literals", unknown("[null,true,false]"), kUp1},
        {"numbers", unknown("[0,-0,-1,12.5,1e999,1E+2,1e-2,-0.0e0,10]"), kUp1},
        {"empty containers", unknown(R"([[],{},[{}],{"a":[]}])"), kUp1},
        {"white space inside", unknown(" [ 1 , { \"a\" : 2 } ] "), kUp1},
        {"lone surrogate escapes", unknown(R"({"\udc00":"\ud800x\ud800"})"), kUp1},
        {"string with every escape", unknown(R"("\"\\\/\b\f\n\r\t\u0000")"), kUp1},
        {"capitalised literal", unknown("True"), kRejected},
        {"truncated literal", unknown("tru"), kRejected},
        {"NaN", unknown("NaN"), kRejected},
        {"leading zero", unknown("01"), kRejected},
        {"plus sign", unknown("+1"), kRejected},
        {"bare minus", unknown("-"), kRejected},
        {"no digit after the point", unknown("1."), kRejected},
        {"no digit before the point", unknown(".5"), kRejected},
        {"no digit in the exponent", unknown("1e+"), kRejected},
        {"short unicode escape", unknown(R"("\u12")"), kRejected},
        {"non-hex unicode escape", unknown(R"("\uZZZZ")"), kRejected},
        {"unknown escape", unknown(R"("\q")"), kRejected},
        {"raw control character", unknown("\"\x01\""), kRejected},
        {"trailing comma in an array", unknown("[1,]"), kRejected},
        {"trailing comma in an object", unknown(R"({"a":1,})"), kRejected},
        {"missing comma", unknown("[1 2]"), kRejected},
        {"member without a value", unknown(R"({"a"})"), kRejected},
        {"member with an empty value", unknown(R"({"a":})"), kRejected},
        {"number as key", unknown("{1:2}"), kRejected},
        {"bracket closed by a brace", unknown("[1}"), kRejected},
        {"brace closed by a bracket", unknown(R"({"a":1])"), kRejected},
        {"missing value", R"({"action":"up","x":,"nonce":1})", kRejected},
        {"unclosed at the end of the text", R"({"action":"up","nonce":1,"x":[[)", kRejected},
    });
}

// Deeper than the default stack of any thread could hold if each level took a
// call frame. The test runs on the test program's own thread as it is.
TEST(ParseCommand, SkipsValuesNestedFourHundredThousandLevels) {
    constexpr std::size_t kLevels = 400'000;
    std::string open;
    std::string close;
    for (std::size_t level = 0; level < kLevels; ++level) {
        if (level % 2 == 0) {
            open += "[";
        } else {
            open += R"({"k":)";
        }
    }
    for (std::size_t level = kLevels; level-- > 0;) {
        close += level % 2 == 0 ? "]" : "}";
    }
    const std::string prefix = R"({"action":"up","deep":)";
    const std::string suffix = R"(,"nonce":1})";

    EXPECT_EQ(parsed(prefix + open + "0" + close + suffix), kUp1);
    // The same depth with one mismatched bracket at the bottom must still be
    // noticed, so the skipping really checks every level.
    std::string mismatched = close;
    mismatched[0] = mismatched[0] == ']' ? '}' : ']';
    EXPECT_EQ(parsed(prefix + open + "0" + mismatched + suffix), kRejected);
    EXPECT_EQ(parsed(prefix + open + "0" + close.substr(1) + suffix), kRejected);
}

TEST(WriteJsonString, EscapingTable) {
    struct Row {
        const char* desc;
        std::string text;
        std::string expected;
    };
    const Row rows[] = {
        {"empty", "", R"("")"},
        {"plain ASCII", "up", R"("up")"},
        {"quotation mark", "\"", R"("\"")"},
        {"backslash", "\\", R"("\\")"},
        {"backspace", "\b", R"("\b")"},
        {"tab", "\t", R"("\t")"},
        {"line feed", "\n", R"("\n")"},
        {"form feed", "\f", R"("\f")"},
        {"carriage return", "\r", R"("\r")"},
        {"NUL", "\0"s, R"("\u0000")"},
        {"0x01", "\x01", R"("\u0001")"},
        {"vertical tab", "\v", R"("\u000b")"},
        {"escape character", "\x1B", R"("\u001b")"},
        {"unit separator", "\x1F", R"("\u001f")"},
        {"space stays", " ", R"(" ")"},
        {"solidus stays", "/", R"("/")"},
        {"DEL stays", "\x7F", "\"\x7F\""},
        {"non-ASCII stays raw", "\xC3\xA9", "\"\xC3\xA9\""},
        {"U+2028 and U+2029 stay raw", "\xE2\x80\xA8\xE2\x80\xA9", "\"\xE2\x80\xA8\xE2\x80\xA9\""},
        {"bytes 0x80 to 0xFF are not checked", "\xFF\x80", "\"\xFF\x80\""},
        {"runs between escapes", "access denied\r\nline \"two\"\\end",
         R"("access denied\r\nline \"two\"\\end")"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.desc);
        std::string out = "kept";
        write_json_string(out, row.text);
        EXPECT_EQ(out, "kept" + row.expected);
    }
}

TEST(EncodeResult, Layout) {
    struct Row {
        const char* desc;
        HelperResult result;
        std::string expected;
    };
    const Row rows[] = {
        {"success, nonce 0", HelperResult::success(0), R"({"nonce":0,"ok":true})"},
        {"success, largest nonce", HelperResult::success(18446744073709551615u),
         R"({"nonce":18446744073709551615,"ok":true})"},
        {"failure with an empty text", HelperResult::failure(3, ""),
         R"({"nonce":3,"ok":false,"error":""})"},
        {"failure text escaped, solidus and non-ASCII unchanged",
         HelperResult::failure(10, "a\nb\"c\\d/e\xC3\xA9 f"),
         R"({"nonce":10,"ok":false,"error":"a\nb\"c\\d/e)"
         "\xC3\xA9"
         R"( f"})"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.desc);
        EXPECT_EQ(encode_result(row.result), row.expected);
    }
}

TEST(EncodeResult, WorkedExamples) {
    struct Row {
        const char* desc;
        HelperResult result;
        std::string expected;
    };
    const Row rows[] = {
        {"up succeeded", HelperResult::success(42), R"({"nonce":42,"ok":true})"},
        {"no wireguard.exe", HelperResult::failure(7, "wireguard.exe not found next to helper"),
         R"({"nonce":7,"ok":false,"error":"wireguard.exe not found next to helper"})"},
        {"unknown action with a tab",
         HelperResult::failure(18446744073709551615u, "unknown action: reboot\t1"),
         R"({"nonce":18446744073709551615,"ok":false,"error":"unknown action: reboot\t1"})"},
        {"silent non-zero exit", HelperResult::failure(3, ""),
         R"({"nonce":3,"ok":false,"error":""})"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.desc);
        EXPECT_EQ(encode_result(row.result), row.expected);
    }
}

TEST(EncodeResult, EscapedActionRoundTrip) {
    const auto command = parse_command(R"({"nonce":9,"action":"a/\"b\"\u001b\u00e9"})");
    ASSERT_TRUE(command.has_value());
    EXPECT_EQ(command->nonce, 9u);
    EXPECT_EQ(command->action, "a/\"b\"\x1B\xC3\xA9");

    const std::string document =
        encode_result(HelperResult::failure(command->nonce, "unknown action: " + command->action));
    const unsigned char expected[] = {
        0x7B, 0x22, 0x6E, 0x6F, 0x6E, 0x63, 0x65, 0x22, 0x3A, 0x39, 0x2C, 0x22, 0x6F,
        0x6B, 0x22, 0x3A, 0x66, 0x61, 0x6C, 0x73, 0x65, 0x2C, 0x22, 0x65, 0x72, 0x72,
        0x6F, 0x72, 0x22, 0x3A, 0x22, 0x75, 0x6E, 0x6B, 0x6E, 0x6F, 0x77, 0x6E, 0x20,
        0x61, 0x63, 0x74, 0x69, 0x6F, 0x6E, 0x3A, 0x20, 0x61, 0x2F, 0x5C, 0x22, 0x62,
        0x5C, 0x22, 0x5C, 0x75, 0x30, 0x30, 0x31, 0x62, 0xC3, 0xA9, 0x22, 0x7D};
    static_assert(sizeof expected == 64);
    EXPECT_EQ(document, std::string(reinterpret_cast<const char*>(expected), sizeof expected));
}

// A document of exactly `size` bytes that parses as {"up", 1}: the filler is
// the string value of an unknown member.
std::string padded_command(std::size_t size) {
    const std::string head = R"({"action":"up","nonce":1,"pad":")";
    const std::string tail = R"("})";
    return head + std::string(size - head.size() - tail.size(), 'a') + tail;
}

TEST(ReadCommand, RealFiles) {
    struct Row {
        const char* desc;
        std::string content;
        std::optional<HelperCommand> expected;
    };
    const Row rows[] = {
        {"valid document", R"({"action":"down","nonce":77})", HelperCommand{"down", 77}},
        {"valid UTF-8 in an unknown member", "{\"x\":\"\xC3\xA9\",\"action\":\"up\",\"nonce\":1}",
         kUp1},
        {"invalid UTF-8 inside an unknown member's value",
         "{\"x\":\"\xC3\x28\",\"action\":\"up\",\"nonce\":1}", kRejected},
        {"encoded surrogate inside an unknown member's value",
         "{\"x\":\"\xED\xA0\x80\",\"action\":\"up\",\"nonce\":1}", kRejected},
        {"byte-order mark", "\xEF\xBB\xBF{\"action\":\"up\",\"nonce\":1}", kRejected},
        {"empty file", "", kRejected},
        {"half written by the client", R"({"action":"up","no)", kRejected},
        // The limit clients are promised, written out: a larger constant in
        // the product would otherwise pass unnoticed.
        {"exactly 1 MiB", padded_command(std::size_t{1} << 20), kUp1},
        {"one byte over 1 MiB", padded_command((std::size_t{1} << 20) + 1), kRejected},
    };
    TempDir dir;
    const auto path = dir.path() / "command.json";
    for (const Row& row : rows) {
        SCOPED_TRACE(row.desc);
        write_file(path, row.content);
        EXPECT_EQ(read_command(path), row.expected);
    }
}

TEST(ReadCommand, NothingWhereNoFileCanBeRead) {
    TempDir dir;
    EXPECT_EQ(read_command(dir.path() / "command.json"), kRejected);
    EXPECT_EQ(read_command(dir.path() / "missing" / "command.json"), kRejected);
    std::filesystem::create_directory(dir.path() / "command.json");
    EXPECT_EQ(read_command(dir.path() / "command.json"), kRejected);
}

TEST(WriteResult, ReplacesTheWholeFile) {
    TempDir dir;
    const auto path = dir.path() / "result.json";
    const HelperResult result = HelperResult::success(42);

    write_result(path, result);
    EXPECT_EQ(read_file(path), encode_result(result));

    // A longer earlier document must not leave its tail behind.
    write_file(path, std::string(500, 'x'));
    write_result(path, result);
    EXPECT_EQ(read_file(path), R"({"nonce":42,"ok":true})");

    const HelperResult failure = HelperResult::failure(43, "access denied");
    write_result(path, failure);
    EXPECT_EQ(read_file(path), encode_result(failure));
}

TEST(WriteResult, DirectoryInThePlaceFailsSilently) {
    TempDir dir;
    const auto path = dir.path() / "result.json";
    std::filesystem::create_directory(path);
    write_result(path, HelperResult::success(1));
    EXPECT_TRUE(std::filesystem::is_directory(path));
    EXPECT_FALSE(tarsel::platform::replace_file_content(path, "{}").has_value());
    EXPECT_FALSE(tarsel::platform::replace_file_content(dir.path() / "no" / "x", "{}").has_value());
}

TEST(PathExists, FilesAndDirectoriesCount) {
    TempDir dir;
    write_file(dir.path() / "wireguard.exe", "MZ");
    std::filesystem::create_directory(dir.path() / "resources");
    EXPECT_TRUE(tarsel::platform::path_exists(dir.path() / "wireguard.exe"));
    EXPECT_TRUE(tarsel::platform::path_exists(dir.path() / "resources"));
    EXPECT_FALSE(tarsel::platform::path_exists(dir.path() / "missing.exe"));
    EXPECT_FALSE(tarsel::platform::path_exists(dir.path() / "wireguard.exe" / "below"));
}

}  // namespace
