#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <utility>

#include "platform/environment.h"
#include "platform/wake_signal.h"

// Wakes a waiting thread when one file in a directory may have changed: it was
// created, written and closed, or renamed into place. The watch follows the
// directory it opened and checked, not the name: a directory swapped in
// afterwards wakes nothing (the caller's poll still sees it). POSIX uses
// inotify, Windows ReadDirectoryChangesW; both report names, and changes to
// other files in the directory cost a wake but never count.
namespace tarsel::platform {

enum class WatchWake : std::uint8_t {
    timed_out,  // nothing happened within the time-out
    signalled,  // the WakeSignal passed to wait was raised
    changed,    // the watched file may have changed, including when the system lost count
    unrelated,  // only other files changed, or the wait was interrupted
    broken,     // the watch no longer works: the directory went away or the wait failed
};

class DirectoryWatch {
  public:
    // Watches `file_name` (one name, no directory part) inside `directory`,
    // opened and checked as is_unredirected_directory checks it. Nothing when
    // the directory is missing or refused, or the system would not set up a
    // watch. All the watch's memory is taken here, none in wait.
    [[nodiscard]] static std::optional<DirectoryWatch> open(const Path& directory,
                                                            const Path& file_name);

    // Waits at most `timeout` for a change or for `signal`; a raised signal
    // wins over changes that are also pending. Every notification pending
    // when it returns has been taken, so one burst of changes makes one wake.
    // When nothing happens this is one system call.
    [[nodiscard]] WatchWake wait(std::chrono::nanoseconds timeout, const WakeSignal& signal);

    struct State;

  private:
    // Each platform's file defines State and deletes it where State is
    // complete, so the watch's moves and destructor are the implicit ones.
    struct StateDeleter {
        void operator()(State* state) const noexcept;
    };
    using StatePtr = std::unique_ptr<State, StateDeleter>;

    explicit DirectoryWatch(StatePtr state) noexcept : state_(std::move(state)) {}
    StatePtr state_;
};

}  // namespace tarsel::platform
