#include "exchange/command_loop.h"

#include <thread>

#include "exchange/data_dir.h"
#include "exchange/documents.h"
#include "exchange/pass_pacer.h"
#include "platform/files.h"

namespace tarsel::exchange {

LoopSettings default_loop_settings() {
    return LoopSettings{
        .data_dir = data_dir(),
        .poll_interval = kPollInterval,
        .sleep = [](std::chrono::nanoseconds interval) { std::this_thread::sleep_for(interval); },
        .run_action = [](std::string_view action) { return run_tunnel_action(action); },
        .watch_changes = &watch_command_file,
    };
}

ChangeWait watch_command_file(const platform::Path& directory) {
    auto watch = platform::DirectoryWatch::open(directory, platform::Path("command.json"));
    if (!watch) {
        return {};
    }
    return [watch = std::move(*watch)](std::chrono::nanoseconds timeout,
                                       const platform::WakeSignal& wake) mutable {
        return watch.wait(timeout, wake);
    };
}

void command_loop(StopFlag stop) {
    command_loop(std::move(stop), default_loop_settings());
}

void command_loop(StopFlag stop, const LoopSettings& settings) {
    // A directory that cannot be made, or that someone else made first, is
    // no reason to stop: until a pass finds it the helper's own
    // (prepare_data_directory moves another user's aside and makes a fresh
    // one), no pass reads or writes through it, and a client sees no answer.
    // Once it is, only a pass that found a command looks again.
    bool directory_trusted = platform::prepare_data_directory(settings.data_dir);
    CommandFileReader commands(platform::join_path(settings.data_dir, "command.json"));
    const platform::Path result_path = platform::join_path(settings.data_dir, "result.json");
    std::uint64_t last_nonce = 0;
    PassPacer pacer(settings, stop);

    while (!stop.is_set()) {
        pacer.before_pass(directory_trusted);
        // Only equality with the last handled nonce counts, so a client may
        // restart its numbering at any value other than the one just answered.
        if (const HelperCommand* command = directory_trusted ? commands.read() : nullptr;
            command != nullptr && command->nonce != 0 && command->nonce != last_nonce) {
            // data_dir may have been removed and made again by someone else
            // since it was checked; a command found there is not acted on,
            // and the directory is made the helper's own after this pass.
            if (platform::is_unredirected_directory(settings.data_dir)) {
                const ActionOutcome outcome = settings.run_action(command->action);
                write_result(result_path,
                             outcome ? HelperResult::success(command->nonce)
                                     : HelperResult::failure(command->nonce, outcome.error()));
                // Counted as handled even when the result could not be
                // written: retrying would run wireguard.exe again for the
                // same request.
                last_nonce = command->nonce;
            } else {
                directory_trusted = false;
            }
        }
        pacer.after_pass();
        if (!directory_trusted) {
            directory_trusted = platform::prepare_data_directory(settings.data_dir);
        }
    }
    stop.release();
}

}  // namespace tarsel::exchange
