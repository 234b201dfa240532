// What answering one command costs beyond the wait for the next pass: the
// pass that finds a new nonce, runs the stand-in wireguard.exe (which exits
// at once) and writes result.json, against starting and reaping the same
// stand-in alone. Wall-clock time: the child's run is not this process's CPU.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>

#include "exchange/documents.h"
#include "exchange/runner.h"
#include "platform/process.h"
#include "support/temp_dir.h"

namespace {

using namespace tarsel;

struct AnswerSetting {
    testing::TempDir temp;
    testing::fs::path helper_dir = temp.path() / "helper";
    testing::fs::path data = temp.path() / "data";

    AnswerSetting() {
        testing::install_standin(helper_dir);
        testing::fs::create_directories(data);
    }
};

void BM_Answer_Pass(benchmark::State& state) {
    const AnswerSetting setting;
    exchange::CommandFileReader reader(setting.data / "command.json");
    const exchange::RunnerContext context{setting.helper_dir / "tarsel-helper.exe", setting.data};
    std::uint64_t nonce = 0;
    for (auto _ : state) {
        state.PauseTiming();
        testing::write_file(setting.data / "command.json",
                            R"({"action":"up","nonce":)" + std::to_string(++nonce) + "}");
        state.ResumeTiming();
        const exchange::HelperCommand* command = reader.read();
        if (command == nullptr || command->nonce != nonce) {
            state.SkipWithError("command not read");
            break;
        }
        const exchange::ActionOutcome outcome =
            exchange::run_tunnel_action(command->action, context);
        exchange::write_result(
            setting.data / "result.json",
            outcome ? exchange::HelperResult::success(command->nonce)
                    : exchange::HelperResult::failure(command->nonce, outcome.error()));
        if (!outcome) {
            state.SkipWithError("stand-in failed");
            break;
        }
    }
}

void BM_Answer_SpawnAndReapOnly(benchmark::State& state) {
    const AnswerSetting setting;
    const platform::ProcessRequest request{
        setting.helper_dir / "wireguard.exe",
        {"/installtunnelservice", (setting.data / "tarsel.conf").string()},
        {},
    };
    for (auto _ : state) {
        const auto output = platform::run_process(request);
        if (!output || output->exit_code != 0) {
            state.SkipWithError("stand-in failed");
            break;
        }
    }
}

BENCHMARK(BM_Answer_Pass)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_Answer_SpawnAndReapOnly)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace
