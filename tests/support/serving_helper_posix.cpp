#include <signal.h>

#include <chrono>
#include <optional>
#include <thread>

#include "support/foreground_helper.h"
#include "support/serving_helper.h"
#include "support/temp_dir.h"

namespace tarsel::testing {

struct ServingHelper::State {
    std::optional<ForegroundHelper> helper;
    bool serving = false;
};

ServingHelper::ServingHelper(const fs::path& helper_dir, const fs::path& program_data)
    : state_(std::make_unique<State>()) {
    fs::copy_file(program_directory() / "tarsel-helper", helper_dir / "tarsel-helper",
                  fs::copy_options::overwrite_existing);
    state_->helper.emplace(helper_dir / "tarsel-helper", program_data);
    // The helper makes its data directory as it starts.
    for (int i = 0; i < 200 && state_->helper->started(); ++i) {
        if (fs::exists(program_data / "TarselVPN")) {
            state_->serving = true;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

ServingHelper::~ServingHelper() {
    stop();
}

bool ServingHelper::serving() const {
    return state_->serving;
}

void ServingHelper::stop() {
    if (state_->helper) {
        (void)state_->helper->stop(SIGTERM);
        state_->helper.reset();
    }
}

}  // namespace tarsel::testing
