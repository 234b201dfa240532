#pragma once

#include "platform/environment.h"

namespace tarsel::testing {

// Starts `program` again with the single argument standin::kHoldPipesArgument,
// its standard output and error this process's own, and returns without
// waiting for it: the stand-in's way of leaving behind a process that keeps
// the helper's pipes open after wireguard.exe has exited. False when the
// copy could not be started.
[[nodiscard]] bool start_pipe_holder(const platform::Path& program);

}  // namespace tarsel::testing
