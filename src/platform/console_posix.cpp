#include <unistd.h>

#include "platform/console.h"
#include "platform/posix_io.h"

namespace tarsel::platform {
namespace {

// Nothing is left to tell when the standard streams themselves fail.
void write_fully(int fd, std::string_view bytes) {
    (void)posix::write_all(fd, bytes);
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
