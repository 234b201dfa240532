// The idle pass: what the loop does every 300 ms when command.json holds a
// command it has already answered, against the floor of the same file I/O
// with nothing checked or parsed. They run interleaved on the same file
// so that they share the machine's noise.
#include <benchmark/benchmark.h>

#include <array>
#include <cstdint>

#include "bench_documents.h"
#include "exchange/documents.h"
#include "floor_posix.h"
#include "platform/files.h"
#include "support/temp_dir.h"

namespace {

using namespace tarsel;

const testing::fs::path& command_file() {
    static const testing::TempDir directory;
    static const testing::fs::path path = [] {
        const testing::fs::path file = directory.path() / "command.json";
        testing::write_file(file, bench::small_command());
        return file;
    }();
    return path;
}

// open, read to the end, close.
void BM_IdlePass_Floor(benchmark::State& state) {
    const std::string path = command_file().string();
    std::array<char, 4096> buffer{};
    for (auto _ : state) {
        const long n = bench::read_file_floor(path.c_str(), buffer.data(), buffer.size(), false);
        benchmark::DoNotOptimize(n);
    }
}

// The same with the size query that the pass makes (it also tells a plain
// file from a FIFO or a device), which lets a short read end the file: the
// pass's own system calls, without checking or parsing.
void BM_IdlePass_FloorWithSizeQuery(benchmark::State& state) {
    const std::string path = command_file().string();
    std::array<char, 4096> buffer{};
    for (auto _ : state) {
        const long n = bench::read_file_floor(path.c_str(), buffer.data(), buffer.size(), true);
        benchmark::DoNotOptimize(n);
    }
}

// The floor plus the checks that the opened object is the plain file at
// command.json: what the helper's file layer adds before any parsing.
void BM_IdlePass_GuardedRead(benchmark::State& state) {
    platform::RepeatedFileReader reader(command_file(), exchange::kMaxCommandBytes);
    for (auto _ : state) {
        auto bytes = reader.read();
        benchmark::DoNotOptimize(bytes);
    }
}

// The whole pass: read, check, validate, parse, compare with the last nonce.
void BM_IdlePass_Helper(benchmark::State& state) {
    exchange::CommandFileReader reader(command_file());
    const std::uint64_t last_nonce = 1234;
    std::int64_t acted = 0;
    for (auto _ : state) {
        const exchange::HelperCommand* command = reader.read();
        acted += command == nullptr || command->nonce != last_nonce ? 1 : 0;
        benchmark::DoNotOptimize(acted);
    }
    if (acted != 0) {
        state.SkipWithError("the pass did not see the answered command");
    }
}

BENCHMARK(BM_IdlePass_Floor);
BENCHMARK(BM_IdlePass_FloorWithSizeQuery);
BENCHMARK(BM_IdlePass_GuardedRead);
BENCHMARK(BM_IdlePass_Helper);

}  // namespace
