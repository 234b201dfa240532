#include <spawn.h>
#include <unistd.h>

#include <string>

#include "support/pipe_holder.h"
#include "support/standin_protocol.h"

extern char** environ;

namespace tarsel::testing {

bool start_pipe_holder(const platform::Path& program) {
    std::string path = program.native();
    std::string argument(standin::kHoldPipesArgument);
    char* argv[] = {path.data(), argument.data(), nullptr};
    // Descriptors 1 and 2 are the helper's pipes and carry no close-on-exec
    // flag, so the copy keeps them open.
    pid_t holder = 0;
    return ::posix_spawn(&holder, path.c_str(), nullptr, nullptr, argv, environ) == 0;
}

}  // namespace tarsel::testing
