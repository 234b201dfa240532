// Counts the instructions one reader spends on one document, for when the
// machine is too noisy for a time ratio. Run under
//   valgrind --tool=callgrind --collect-atstart=no
// so that only the measured loop is counted; the count divided by the
// iterations is the cost of one read.
//
// Usage: tarsel-reader-instructions tarsel|rapidjson|simdjson DOCUMENT ITERATIONS
//        tarsel-reader-instructions idle-pass|floor 0 ITERATIONS
// The last two read the 30-byte command from a file as the loop's idle pass
// does, and as the bare floor of open, size query, read to end and close
// does: the system calls are the same, so the instructions counted (user
// space only) are the difference.
#include <valgrind/callgrind.h>

#include <cstdio>
#include <string>
#include <string_view>

#include "bench_documents.h"
#include "floor_posix.h"
#include "readers.h"
#include "support/temp_dir.h"

int main(int argc, char** argv) {
    using namespace tarsel;
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s READER DOCUMENT ITERATIONS\n", argv[0]);
        return 2;
    }
    const std::string_view reader = argv[1];
    const std::string text = bench::document_by_index(std::stoi(argv[2]));
    const int iterations = std::stoi(argv[3]);
    const simdjson::padded_string padded(text);
    simdjson::dom::parser parser;
    if (parser.allocate(text.size(), bench::kDeepLevels + 16) != simdjson::SUCCESS) {
        return 1;
    }
    const testing::TempDir temp;
    const testing::fs::path file = temp.path() / "command.json";
    testing::write_file(file, text);
    const std::string file_name = file.string();
    exchange::CommandFileReader pass(file);
    char buffer[4096];
    const auto read = [&] {
        if (reader == "idle-pass") {
            const exchange::HelperCommand* command = pass.read();
            return command != nullptr && command->nonce == 1234;
        }
        if (reader == "floor") {
            return bench::read_file_floor(file_name.c_str(), buffer, sizeof buffer, true) > 0;
        }
        if (reader == "tarsel") {
            return bench::read_tarsel(text);
        }
        if (reader == "rapidjson") {
            return bench::read_rapidjson(text);
        }
        return bench::read_simdjson(parser, padded);
    };
    // One read outside the count, so that first-use costs stay out of it.
    bool accepted = read();
    CALLGRIND_TOGGLE_COLLECT;
    for (int i = 0; i < iterations; ++i) {
        accepted = read() && accepted;
    }
    CALLGRIND_TOGGLE_COLLECT;
    std::printf("%s\n", accepted ? "accepted" : "rejected");
    return accepted ? 0 : 1;
}
