// Reader throughput: the helper's own command reader against the two JSON
// libraries a user would pick instead, on the same bytes in the same run.
#include <benchmark/benchmark.h>

#include <string>

#include "bench_documents.h"
#include "readers.h"

namespace {

using namespace tarsel;

const std::string& document(int which) {
    static const std::string documents[] = {
        bench::document_by_index(0),
        bench::document_by_index(1),
        bench::document_by_index(2),
        bench::document_by_index(3),
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
    state.counters["document_bytes"] = static_cast<double>(text.size());
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
        const bool ok = bench::read_tarsel(text);
        benchmark::DoNotOptimize(ok);
        accepted = accepted && ok;
    }
    finish(state, text, accepted);
}

void BM_Read_RapidJSON(benchmark::State& state) {
    const std::string& text = document(static_cast<int>(state.range(0)));
    bool accepted = true;
    for (auto _ : state) {
        const bool ok = bench::read_rapidjson(text);
        benchmark::DoNotOptimize(ok);
        accepted = accepted && ok;
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
        const bool ok = bench::read_simdjson(parser, padded);
        benchmark::DoNotOptimize(ok);
        accepted = accepted && ok;
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
        const bool ok = bench::read_simdjson(parser, padded);
        benchmark::DoNotOptimize(ok);
        accepted = accepted && ok;
    }
    finish(state, text, accepted);
}

BENCHMARK(BM_Read_Tarsel)->DenseRange(0, 3);
BENCHMARK(BM_Read_RapidJSON)->DenseRange(0, 3);
BENCHMARK(BM_Read_simdjson)->DenseRange(0, 3);
BENCHMARK(BM_Read_simdjson_deep)->Arg(3);

}  // namespace
