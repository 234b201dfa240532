// libFuzzer target: parse_command on any bytes, judged against the reference.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>

#include "exchange/documents.h"
#include "oracle.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    std::optional<tarsel::exchange::HelperCommand> actual;
    if (auto parsed = tarsel::exchange::parse_command(text)) {
        actual = std::move(*parsed);
    }
    const std::string difference =
        tarsel::testing::disagreement(text, tarsel::testing::reference_parse_command(text), actual);
    if (!difference.empty()) {
        std::fprintf(stderr, "parse_command disagrees with the reference: %s\n",
                     difference.c_str());
        std::abort();
    }
    return 0;
}
