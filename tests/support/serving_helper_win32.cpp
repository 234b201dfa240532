#include <thread>

#include "exchange/command_loop.h"
#include "exchange/runner.h"
#include "support/serving_helper.h"
#include "support/temp_dir.h"

namespace tarsel::testing {

struct ServingHelper::State {
    exchange::StopFlag stop = exchange::StopFlag::create();
    std::thread loop;
};

ServingHelper::ServingHelper(const fs::path& helper_dir, const fs::path& program_data)
    : state_(std::make_unique<State>()) {
    const fs::path data = program_data / "TarselVPN";
    fs::create_directories(data);
    exchange::LoopSettings settings = exchange::default_loop_settings();
    settings.data_dir = data;
    settings.run_action = [helper_dir, data](std::string_view action) {
        return exchange::run_tunnel_action(
            action, exchange::RunnerContext{helper_dir / "tarsel-helper.exe", data});
    };
    state_->loop = std::thread([settings = std::move(settings), reference = state_->stop]() mutable {
        exchange::command_loop(std::move(reference), settings);
    });
}

ServingHelper::~ServingHelper() {
    stop();
}

bool ServingHelper::serving() const {
    return state_->loop.joinable();
}

void ServingHelper::stop() {
    state_->stop.set();
    if (state_->loop.joinable()) {
        state_->loop.join();
    }
}

}  // namespace tarsel::testing
