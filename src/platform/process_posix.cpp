#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <optional>

#include "platform/output_pipes.h"
#include "platform/posix_handles.h"
#include "platform/posix_io.h"
#include "platform/process.h"

extern char** environ;

namespace tarsel::platform {
namespace {

using UniqueDescriptor = posix::UniqueFd;

struct Pipe {
    UniqueDescriptor read_end;
    UniqueDescriptor write_end;
};

// Both ends close on exec: the child gets only the copies placed on its
// descriptors 1 and 2, so no other child keeps a pipe open by accident.
std::expected<Pipe, std::int32_t> make_pipe() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        return std::unexpected(static_cast<std::int32_t>(errno));
    }
    return Pipe{UniqueDescriptor(fds[0]), UniqueDescriptor(fds[1])};
}

// posix_spawn's settings objects, made ready on construction and destroyed
// with their owner.
template <class Object, auto Init, auto Destroy>
class SpawnSettings {
  public:
    SpawnSettings() { Init(&object_); }
    SpawnSettings(const SpawnSettings&) = delete;
    SpawnSettings& operator=(const SpawnSettings&) = delete;
    ~SpawnSettings() { Destroy(&object_); }
    Object* get() { return &object_; }

  private:
    Object object_;
};

using SpawnActions = SpawnSettings<posix_spawn_file_actions_t, ::posix_spawn_file_actions_init,
                                   ::posix_spawn_file_actions_destroy>;
using SpawnAttributes =
    SpawnSettings<posix_spawnattr_t, ::posix_spawnattr_init, ::posix_spawnattr_destroy>;

// Waits for the child however the read loop ended, so no zombie is left.
std::expected<std::uint32_t, std::int32_t> wait_for_exit(pid_t child) {
    int status = 0;
    if (posix::retry_on_eintr([&] { return ::waitpid(child, &status, 0); }) < 0) {
        return std::unexpected(static_cast<std::int32_t>(errno));
    }
    if (WIFSIGNALED(status)) {
        return 128u + static_cast<std::uint32_t>(WTERMSIG(status));
    }
    return static_cast<std::uint32_t>(WEXITSTATUS(status));
}

// Whether `child` has exited, leaving it to be reaped by wait_for_exit.
bool has_exited(pid_t child) {
    siginfo_t info{};
    return ::waitid(P_PID, static_cast<id_t>(child), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
           info.si_pid == child;
}

// Reads both pipes until each reports end of file, or kPipesAfterExit after
// `child` has exited: a process it started may have inherited the pipes and
// hold them open for as long as it runs, and the loop, and STOP with it, must
// not wait for that. Polling both keeps a child that fills one pipe while we
// would be blocked on the other from stalling. The exit is seen through a
// pidfd in the same poll; on a kernel without pidfds, by asking every 100 ms.
std::expected<void, std::int32_t> read_both(UniqueDescriptor& out, UniqueDescriptor& err,
                                            pid_t child, ProcessOutput& output) {
    using Clock = std::chrono::steady_clock;
    UniqueDescriptor* descriptors[] = {&out, &err};
    std::string* buffers[] = {&output.standard_output, &output.standard_error};
    // Through syscall(): glibc's own wrapper is newer than some of the C
    // libraries this builds with.
    const UniqueDescriptor exit_signal(static_cast<int>(::syscall(SYS_pidfd_open, child, 0)));
    std::optional<Clock::time_point> deadline;  // once the child has exited
    char chunk[65536];
    while (out.valid() || err.valid()) {
        pollfd polled[3];
        nfds_t count = 0;
        int which[2];
        for (int i = 0; i < 2; ++i) {
            if (descriptors[i]->valid()) {
                polled[count] = {descriptors[i]->get(), POLLIN, 0};
                which[count++] = i;
            }
        }
        const nfds_t pipes = count;
        int timeout = -1;
        if (deadline) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - Clock::now());
            if (left.count() <= 0) {
                break;
            }
            timeout = static_cast<int>(left.count());
        } else if (exit_signal.valid()) {
            polled[count++] = {exit_signal.get(), POLLIN, 0};
        } else {
            timeout = 100;
        }
        const int ready = ::poll(polled, count, timeout);
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            return std::unexpected(static_cast<std::int32_t>(errno));
        }
        if (!deadline && (count == pipes || polled[pipes].revents != 0) &&
            has_exited(child)) {
            deadline = Clock::now() + kPipesAfterExit;
        }
        for (nfds_t k = 0; k < pipes; ++k) {
            if (polled[k].revents == 0) {
                continue;
            }
            const int i = which[k];
            const ssize_t n = ::read(descriptors[i]->get(), chunk, sizeof chunk);
            if (n > 0) {
                buffers[i]->append(chunk, static_cast<std::size_t>(n));
            } else if (n == 0) {
                descriptors[i]->reset();
            } else if (errno != EINTR && errno != EAGAIN) {
                return std::unexpected(static_cast<std::int32_t>(errno));
            }
        }
    }
    return {};
}

// strerror_r comes in a GNU form (returns the text) and an XSI form (fills the
// buffer and returns a status); the overloads accept whichever the C library has.
[[maybe_unused]] const char* message_of(const char* text, const char*) {
    return text;
}
[[maybe_unused]] const char* message_of(int status, const char* buffer) {
    return status == 0 ? buffer : "Unknown error";
}

}  // namespace

std::expected<ProcessOutput, std::int32_t> run_process(const ProcessRequest& request) {
    auto pipes = make_output_pipes(make_pipe);
    if (!pipes) {
        return std::unexpected(pipes.error());
    }
    auto& [out, err] = *pipes;

    SpawnActions actions;
    int rc =
        ::posix_spawn_file_actions_addopen(actions.get(), STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    if (rc == 0) {
        rc = ::posix_spawn_file_actions_adddup2(actions.get(), out.write_end.get(), STDOUT_FILENO);
    }
    if (rc == 0) {
        rc = ::posix_spawn_file_actions_adddup2(actions.get(), err.write_end.get(), STDERR_FILENO);
    }
    // A helper that ignores SIGPIPE or blocks signals must not pass that on.
    SpawnAttributes attributes;
    sigset_t no_signals;
    sigset_t default_signals;
    sigemptyset(&no_signals);
    sigemptyset(&default_signals);
    sigaddset(&default_signals, SIGPIPE);
    if (rc == 0) {
        rc = ::posix_spawnattr_setsigmask(attributes.get(), &no_signals);
    }
    if (rc == 0) {
        rc = ::posix_spawnattr_setsigdefault(attributes.get(), &default_signals);
    }
    if (rc == 0) {
        rc = ::posix_spawnattr_setflags(attributes.get(),
                                        POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    }
    if (rc != 0) {
        return std::unexpected(static_cast<std::int32_t>(rc));
    }

    std::string program = request.program.native();
    std::vector<char*> argv;
    argv.push_back(program.data());
    std::vector<std::string> arguments = request.arguments;
    for (std::string& argument : arguments) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);

    // glibc starts the child with vfork semantics and reports a failed exec
    // (a missing file, a directory) here rather than as exit code 127.
    pid_t child = 0;
    rc = ::posix_spawn(&child, program.c_str(), actions.get(), attributes.get(), argv.data(),
                       environ);
    if (rc != 0) {
        return std::unexpected(static_cast<std::int32_t>(rc));
    }
    // Our copies of the write ends must go now: while they are open, the reads
    // below never see end of file, even after the child has exited.
    out.write_end.reset();
    err.write_end.reset();

    ProcessOutput output;
    const auto read = read_both(out.read_end, err.read_end, child, output);
    // A read that fails leaves the child's output unusable, so the action is
    // reported as failed with that error, as a failed start would be. Closing
    // our ends makes the child's further writes fail instead of blocking, and
    // the child is still waited for, so it is neither orphaned nor left a zombie.
    out.read_end.reset();
    err.read_end.reset();
    const auto exit_code = wait_for_exit(child);
    if (!read) {
        return std::unexpected(read.error());
    }
    if (!exit_code) {
        return std::unexpected(exit_code.error());
    }
    output.exit_code = *exit_code;
    return output;
}

std::string os_error_text(std::int32_t code) {
    char buffer[512] = {};
    std::string text = message_of(::strerror_r(code, buffer, sizeof buffer), buffer);
    return text + " (os error " + std::to_string(code) + ")";
}

}  // namespace tarsel::platform
