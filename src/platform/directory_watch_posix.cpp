#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>
#include <cerrno>
#include <climits>

#include <charconv>
#include <cstring>
#include <string>

#include "platform/directory_watch.h"
#include "platform/posix_checked_directory.h"
#include "platform/posix_handles.h"

namespace tarsel::platform {

using posix::UniqueFd;

namespace {

// Written and closed, renamed into place, or newly made. The last three say
// that the watched directory itself is gone or moved, after which the watch
// would follow it somewhere else.
constexpr std::uint32_t kWatched =
    IN_CLOSE_WRITE | IN_MOVED_TO | IN_CREATE | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
constexpr std::uint32_t kGone = IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED | IN_UNMOUNT;

}  // namespace

struct DirectoryWatch::State {
    UniqueFd inotify;
    std::string name;
    // Room for many events of the longest name; the kernel queues what does
    // not fit for the next read.
    alignas(inotify_event) char buffer[16 * (sizeof(inotify_event) + NAME_MAX + 1)];
};

std::optional<DirectoryWatch> DirectoryWatch::open(const Path& directory, const Path& file_name) {
    const auto checked = posix::open_checked_directory(directory);
    if (!checked) {
        return std::nullopt;
    }
    // The state is made last: the loop asks again on every pass while the
    // system refuses, and a refusal should cost no memory.
    UniqueFd inotify(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    if (!inotify) {
        return std::nullopt;
    }
    // inotify takes a path, not a descriptor. The descriptor's own entry in
    // /proc leads to exactly the directory opened and checked above, whatever
    // the name `directory` leads to by now.
    char through[32] = "/proc/self/fd/";
    constexpr std::size_t kPrefix = sizeof "/proc/self/fd/" - 1;
    *std::to_chars(through + kPrefix, through + sizeof through - 1, checked->get()).ptr = '\0';
    if (::inotify_add_watch(inotify.get(), through, kWatched) < 0) {
        return std::nullopt;
    }
    StatePtr state(new State());
    state->inotify = std::move(inotify);
    state->name = file_name.native();
    return DirectoryWatch(std::move(state));
}

void DirectoryWatch::StateDeleter::operator()(State* state) const noexcept {
    delete state;
}

WatchWake DirectoryWatch::wait(std::chrono::nanoseconds timeout, const WakeSignal& signal) {
    if (timeout < std::chrono::nanoseconds::zero()) {
        timeout = std::chrono::nanoseconds::zero();
    }
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(timeout);
    const timespec limit{
        .tv_sec = static_cast<time_t>(seconds.count()),
        .tv_nsec = static_cast<long>((timeout - seconds).count()),
    };
    pollfd waited[2] = {
        {.fd = state_->inotify.get(), .events = POLLIN, .revents = 0},
        {.fd = signal.valid() ? static_cast<int>(signal.native()) : -1,
         .events = POLLIN,
         .revents = 0},
    };
    const int ready = ::ppoll(waited, 2, &limit, nullptr);
    if (ready == 0) {
        return WatchWake::timed_out;
    }
    if (ready < 0) {
        return errno == EINTR ? WatchWake::unrelated : WatchWake::broken;
    }
    if ((waited[1].revents & POLLIN) != 0) {
        return WatchWake::signalled;
    }
    if ((waited[0].revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
        return WatchWake::broken;
    }
    // Everything queued is read, however many reads it takes, so that a
    // burst of changes leaves nothing behind to wake the next wait.
    WatchWake found = WatchWake::unrelated;
    for (;;) {
        const ssize_t n = ::read(state_->inotify.get(), state_->buffer, sizeof state_->buffer);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno == EAGAIN ? found : WatchWake::broken;
        }
        for (ssize_t at = 0; at < n;) {
            inotify_event event;
            std::memcpy(&event, state_->buffer + at, sizeof event);
            const char* name = state_->buffer + at + sizeof event;
            at += static_cast<ssize_t>(sizeof event + event.len);
            if ((event.mask & kGone) != 0) {
                return WatchWake::broken;
            }
            // A full queue dropped events: the file may have changed.
            // The name comes padded with NULs to its length.
            if ((event.mask & IN_Q_OVERFLOW) != 0 ||
                (::strnlen(name, event.len) == state_->name.size() &&
                 std::memcmp(name, state_->name.data(), state_->name.size()) == 0)) {
                found = WatchWake::changed;
            }
        }
    }
}

}  // namespace tarsel::platform
