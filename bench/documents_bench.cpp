// Reader throughput: the helper's own command reader against the two JSON
// libraries a user would pick instead, on the same bytes in the same run.
// Each does the least work that still checks the whole document, UTF-8
// included: ours validates the bytes and parses the command; RapidJSON runs
// its iterative validating reader into a handler that keeps nothing;
// simdjson builds its DOM, which checks every byte.
#include <benchmark/benchmark.h>
#include <rapidjson/reader.h>
#include <simdjson.h>

#include <string>

#include "bench_documents.h"
#include "exchange/documents.h"
#include "platform/text.h"

namespace {

using namespace tarsel;

const std::string& document(int which) {
    static const std::string documents[] = {
        bench::small_command(),
        bench::numbers_command(),
        bench::strings_command(),
        bench::deep_command(),
    };
    return documents[which];
}

void name_document(benchmark::State& state) {
    static constexpr const char* kLabels[] = {"command_30B", "numbers_1MiB", "strings_1MiB",
                                              "deep_400k"};
    state.SetLabel(kLabels[state.range(0)]);
}

void finish(benchmark::State& state, const std::string& text, bool accepted) {
    name_document(state);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(text.size()));
    if (!accepted) {
        state.SkipWithError("document rejected");
    }
}

void BM_Read_Tarsel(benchmark::State& state) {
    const std::string& text = document(static_cast<int>(state.range(0)));
    bool accepted = true;
    for (auto _ : state) {
        const bool valid = platform::is_valid_utf8(text);
        auto command = exchange::parse_command(text);
        accepted = accepted && valid && command.has_value();
        benchmark::DoNotOptimize(command);
    }
    finish(state, text, accepted);
}

void BM_Read_RapidJSON(benchmark::State& state) {
    const std::string& text = document(static_cast<int>(state.range(0)));
    constexpr unsigned kFlags =
        rapidjson::kParseIterativeFlag | rapidjson::kParseValidateEncodingFlag;
    bool accepted = true;
    for (auto _ : state) {
        rapidjson::Reader reader;
        rapidjson::BaseReaderHandler<> handler;
        rapidjson::StringStream stream(text.c_str());
        const rapidjson::ParseResult result = reader.Parse<kFlags>(stream, handler);
        accepted = accepted && !result.IsError();
        benchmark::DoNotOptimize(result);
    }
    finish(state, text, accepted);
}

// simdjson with its default maximum depth of 1024, as most users run it: it
// refuses the deep document, which the benchmark then reports as an error.
void BM_Read_simdjson(benchmark::State& state) {
    const std::string& text = document(static_cast<int>(state.range(0)));
    const simdjson::padded_string padded(text);
    simdjson::dom::parser parser;
    bool accepted = true;
    for (auto _ : state) {
        simdjson::dom::element root;
        const auto error = parser.parse(padded).get(root);
        accepted = accepted && error == simdjson::SUCCESS;
        benchmark::DoNotOptimize(root);
    }
    finish(state, text, accepted);
}

// The same with the depth limit raised to fit the deep document.
void BM_Read_simdjson_deep(benchmark::State& state) {
    const std::string& text = document(static_cast<int>(state.range(0)));
    const simdjson::padded_string padded(text);
    simdjson::dom::parser parser;
    bool accepted = parser.allocate(text.size(), bench::kDeepLevels + 16) == simdjson::SUCCESS;
    for (auto _ : state) {
        simdjson::dom::element root;
        const auto error = parser.parse(padded).get(root);
        accepted = accepted && error == simdjson::SUCCESS;
        benchmark::DoNotOptimize(root);
    }
    finish(state, text, accepted);
}

BENCHMARK(BM_Read_Tarsel)->DenseRange(0, 3);
BENCHMARK(BM_Read_RapidJSON)->DenseRange(0, 3);
BENCHMARK(BM_Read_simdjson)->DenseRange(0, 3);
BENCHMARK(BM_Read_simdjson_deep)->Arg(3);

}  // namespace
