#include <unistd.h>
#include <cerrno>

#include "platform/console.h"

namespace tarsel::platform {
namespace {

void write_fully(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return;
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
}

}  // namespace

std::vector<std::string> command_line_arguments(int argc, char** argv) {
    return std::vector<std::string>(argv, argv + argc);
}

void write_standard_error(std::string_view bytes) {
    write_fully(STDERR_FILENO, bytes);
}

void write_standard_output(std::string_view bytes) {
    write_fully(STDOUT_FILENO, bytes);
}

bool standard_error_is_terminal() {
    return ::isatty(STDERR_FILENO) == 1;
}

}  // namespace tarsel::platform
