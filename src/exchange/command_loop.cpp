#include "exchange/command_loop.h"

#include <thread>

#include "exchange/data_dir.h"
#include "exchange/documents.h"
#include "platform/files.h"

namespace tarsel::exchange {

LoopSettings default_loop_settings() {
    return LoopSettings{
        .data_dir = data_dir(),
        .poll_interval = kPollInterval,
        .sleep = [](std::chrono::nanoseconds interval) { std::this_thread::sleep_for(interval); },
        .run_action = [](std::string_view action) { return run_tunnel_action(action); },
    };
}

void command_loop(StopFlag stop) {
    command_loop(std::move(stop), default_loop_settings());
}

void command_loop(StopFlag stop, const LoopSettings& settings) {
    // A directory that cannot be made is no reason to stop: every pass then
    // simply finds no command, and a client sees no answer.
    (void)platform::create_directory_chain(settings.data_dir);
    // Any local user may have made data_dir first, as a link to a place of
    // their choosing; such a directory counts as one that could not be made,
    // and no pass reads or writes through it.
    const bool directory_trusted = platform::is_unredirected_directory(settings.data_dir);
    CommandFileReader commands(platform::join_path(settings.data_dir, "command.json"));
    const platform::Path result_path = platform::join_path(settings.data_dir, "result.json");
    std::uint64_t last_nonce = 0;

    while (!stop.is_set()) {
        // Only equality with the last handled nonce counts, so a client may
        // restart its numbering at any value other than the one just answered.
        if (const HelperCommand* command = directory_trusted ? commands.read() : nullptr;
            command != nullptr && command->nonce != 0 && command->nonce != last_nonce) {
            const ActionOutcome outcome = settings.run_action(command->action);
            write_result(result_path, outcome
                                          ? HelperResult::success(command->nonce)
                                          : HelperResult::failure(command->nonce, outcome.error()));
            // Counted as handled even when the result could not be written:
            // retrying would run wireguard.exe again for the same request.
            last_nonce = command->nonce;
        }
        settings.sleep(settings.poll_interval);
    }
    stop.release();
}

}  // namespace tarsel::exchange
