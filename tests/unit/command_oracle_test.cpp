// parse_command and read_command judged by the independent reference reader
// (tests/fuzz), on the fuzzing seeds, on every one-byte change of each seed,
// and on documents made at random from the language's parts. The fuzz
// targets run the same judgement for minutes; this keeps it in every suite.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <initializer_list>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "exchange/documents.h"
#include "oracle.h"
#include "platform/text.h"
#include "reference_command.h"
#include "support/temp_dir.h"

namespace {

using tarsel::exchange::HelperCommand;
using tarsel::testing::disagreement;
using tarsel::testing::ReferenceVerdict;

struct Seed {
    const char* name;
    std::string_view bytes;
};

// The files of tests/fuzz/corpus, compiled in so that no path to the source
// tree is needed at run time (under Wine it lies on another drive).
constexpr Seed kSeeds[] = {
#include "fuzz_seeds.inc"
};

std::optional<HelperCommand> product_parse(std::string_view text) {
    auto command = tarsel::exchange::parse_command(text);
    if (!command) {
        return std::nullopt;
    }
    return *command;
}

// Judges one text; returns whether the reference accepted it.
bool agrees(std::string_view text) {
    const ReferenceVerdict expected = tarsel::testing::reference_parse_command(text);
    const std::string difference = disagreement(text, expected, product_parse(text));
    EXPECT_EQ(difference, "");
    return expected.kind == ReferenceVerdict::Kind::accepted;
}

TEST(CommandOracle, AgreesOnTheSeedsAndEveryOneByteChangeOfThem) {
    // Bytes that matter to the language, to its strings, to UTF-8, and the
    // control characters that end a plain run.
    const std::string alphabet =
        std::string("\x00\x01\x08\x09\x0a\x0d\x1f\x20\x7f\x80\xbf\xc3\xed\xf4\xff", 15) +
        "\"\\/ubntfr019aAeE.-+{}[]:,";
    bool some_accepted = false;
    bool some_rejected = false;
    for (const Seed& seed : kSeeds) {
        SCOPED_TRACE(seed.name);
        const std::string text(seed.bytes);
        (agrees(text) ? some_accepted : some_rejected) = true;
        for (std::size_t at = 0; at <= text.size(); ++at) {
            if (at < text.size()) {
                agrees(std::string(text).erase(at, 1));
            }
            for (const char byte : alphabet) {
                agrees(std::string(text).insert(at, 1, byte));
                if (at < text.size()) {
                    std::string replaced = text;
                    replaced[at] = byte;
                    agrees(replaced);
                }
            }
        }
        if (HasFailure()) {
            break;  // the first few disagreements say enough
        }
    }
    // An empty or one-sided seed set would make the comparison say little.
    EXPECT_TRUE(some_accepted);
    EXPECT_TRUE(some_rejected);
}

// Documents assembled from well- and ill-formed parts of the language.
class DocumentMaker {
  public:
    explicit DocumentMaker(std::uint64_t seed) : random_(seed) {}

    std::string document() {
        std::string text = gap();
        if (pick(8) == 0) {
            text += cat({"[", gap(), string_value(), gap()});
            const int elements = pick(3);
            for (int i = 0; i < elements; ++i) {
                text += cat({",", gap(), pick(4) == 0 ? value(1) : nonce_value(), gap()});
            }
            text += "]";
        } else {
            std::vector<std::string> members;
            for (int i = pick(6) == 0 ? 2 : 1; i > 0; --i) {
                members.push_back(
                    cat({key("action"), ":", gap(), pick(6) == 0 ? value(1) : string_value()}));
            }
            for (int i = pick(6) == 0 ? 2 : 1; i > 0; --i) {
                members.push_back(cat({key("nonce"), ":", gap(), nonce_value()}));
            }
            for (int i = pick(4); i > 0; --i) {
                members.push_back(
                    cat({key(pick(2) == 0 ? "extra" : "Action"), ":", gap(), value(1)}));
            }
            if (pick(10) == 0) {
                members.erase(members.begin() + pick(static_cast<int>(members.size())));
            }
            std::shuffle(members.begin(), members.end(), random_);
            text += "{";
            for (std::size_t i = 0; i < members.size(); ++i) {
                text += cat({i == 0 ? "" : ",", gap(), members[i], gap()});
            }
            text += pick(20) == 0 ? ",}" : "}";
        }
        text += gap();
        if (pick(3) == 0) {
            mutate(text);
        }
        return text;
    }

  private:
    // The parts in order: a braced list, unlike the operands of +, is
    // evaluated left to right, so one seed makes the same documents on every
    // compiler.
    static std::string cat(std::initializer_list<std::string> parts) {
        std::string text;
        for (const std::string& part : parts) {
            text += part;
        }
        return text;
    }

    int pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(random_); }

    std::string gap() {
        static const char* const kGaps[] = {"", "", "", " ", "\t", "\r\n", "  \n "};
        return kGaps[pick(7)];
    }

    std::string key(std::string_view name) {
        std::string text(name);
        if (pick(5) == 0) {
            // The same key with one letter escaped.
            const std::size_t at = static_cast<std::size_t>(pick(static_cast<int>(text.size())));
            static const char kHex[] = "0123456789abcdef";
            const auto c = static_cast<unsigned char>(text[at]);
            text.replace(at, 1, std::string("\\u00") + kHex[c >> 4] + kHex[c & 15]);
        }
        return "\"" + text + "\"";
    }

    std::string string_value() {
        static const char* const kPieces[] = {
            "up",
            "down",
            "a",
            " ",
            "\\n",
            "\\\"",
            "\\\\",
            "\\/",
            "\\u0075",
            "\\u00e9",
            "\\u0000",
            "\\ud83d\\ude00",
            "\\ud800",
            "\\udc00",
            "\\ud83dx",
            "\\uZZZZ",
            "\\x",
            "\xc3\xa9",
            "\xe2\x80\xa8",
            "\xf0\x9f\x98\x80",
            "\t",
            "long plain text run",
        };
        std::string text = "\"";
        for (int i = pick(4); i > 0; --i) {
            text += kPieces[pick(22)];
        }
        return text + (pick(30) == 0 ? "" : "\"");
    }

    std::string nonce_value() {
        static const char* const kNonces[] = {
            "0",
            "1",
            "42",
            "18446744073709551615",
            "18446744073709551616",
            "99999999999999999999",
            "007",
            "-1",
            "-0",
            "+1",
            "1.0",
            "1e2",
            "1E2",
            "\"1\"",
            "null",
            "12345678901234567890",
        };
        return kNonces[pick(16)];
    }

    std::string value(int depth) {
        static const char* const kScalars[] = {"null",    "true", "false",       "0",
                                               "-0.5e-7", "1E+9", "01",          "1.",
                                               "tru",     "nul",  "\"\\ud800\"", "\"x\""};
        if (depth > 5 || pick(3) != 0) {
            return pick(2) == 0 ? string_value() : kScalars[pick(12)];
        }
        const bool array = pick(2) == 0;
        std::string text = array ? "[" : "{";
        const int count = pick(4);
        for (int i = 0; i < count; ++i) {
            text += cat({i == 0 ? "" : ",", gap()});
            if (!array) {
                text += cat({string_value(), gap(), ":", gap()});
            }
            text += cat({value(depth + 1), gap()});
        }
        return text += array ? "]" : "}";
    }

    void mutate(std::string& text) {
        const auto at = static_cast<std::size_t>(pick(static_cast<int>(text.size()) + 1));
        const auto byte = static_cast<char>(pick(256));
        switch (pick(3)) {
            case 0:
                text.insert(at, 1, byte);
                break;
            case 1:
                if (at < text.size()) {
                    text.erase(at, 1);
                }
                break;
            default:
                if (at < text.size()) {
                    text[at] = byte;
                }
                break;
        }
    }

    std::mt19937_64 random_;
};

TEST(CommandOracle, AgreesOnRandomDocuments) {
    DocumentMaker maker(20240611);
    bool some_accepted = false;
    bool some_rejected = false;
    for (int i = 0; i < 20000; ++i) {
        const std::string text = maker.document();
        (agrees(text) ? some_accepted : some_rejected) = true;
        if (HasFailure()) {
            break;  // one disagreement says enough
        }
    }
    EXPECT_TRUE(some_accepted);
    EXPECT_TRUE(some_rejected);
}

TEST(CommandOracle, ReadCommandAgreesOnEverySeedFile) {
    tarsel::testing::TempDir dir;
    const auto path = dir.path() / "command.json";
    for (const Seed& seed : kSeeds) {
        SCOPED_TRACE(seed.name);
        tarsel::testing::write_file(path, seed.bytes);
        EXPECT_EQ(disagreement(seed.bytes, tarsel::testing::reference_read_command(seed.bytes),
                               tarsel::exchange::read_command(path)),
                  "");
    }
}

// The UTF-8 check the file reader applies, against the reference table: every
// sequence of one and two bytes, and three- and four-byte sequences built from
// every lead byte and the continuation bytes at the edges of the ranges.
TEST(CommandOracle, Utf8CheckAgreesWithTheTableOfWellFormedSequences) {
    const unsigned char edges[] = {0x00, 0x7f, 0x80, 0x8f, 0x90, 0x9f, 0xa0, 0xbf, 0xc0, 0xff};
    auto check = [](const std::string& bytes) {
        ASSERT_EQ(tarsel::platform::is_valid_utf8(bytes), tarsel::testing::reference_is_utf8(bytes))
            << "bytes: " << ::testing::PrintToString(bytes);
    };
    for (int a = 0; a < 256; ++a) {
        check(std::string(1, static_cast<char>(a)));
        for (int b = 0; b < 256; ++b) {
            check({static_cast<char>(a), static_cast<char>(b)});
        }
        for (const unsigned char b : edges) {
            for (const unsigned char c : edges) {
                check({static_cast<char>(a), static_cast<char>(b), static_cast<char>(c)});
                for (const unsigned char d : edges) {
                    check({static_cast<char>(a), static_cast<char>(b), static_cast<char>(c),
                           static_cast<char>(d)});
                }
            }
        }
        if (::testing::Test::HasFailure()) {
            return;
        }
    }
}

}  // namespace
