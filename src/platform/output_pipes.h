#pragma once

// The two pipes a child's output goes to, shared by process_posix.cpp and
// process_win32.cpp; each makes one pipe with its own system calls.
#include <cstdint>
#include <expected>
#include <type_traits>
#include <utility>

namespace tarsel::platform {

template <class Pipe>
struct OutputPipes {
    Pipe out;  // standard output
    Pipe err;  // standard error
};

// Both pipes from `make_pipe`, or the error code of the first one the system
// refused; a pipe made before the refusal is closed again.
template <class MakePipe, class Pipe = typename std::invoke_result_t<MakePipe&>::value_type>
[[nodiscard]] std::expected<OutputPipes<Pipe>, std::int32_t> make_output_pipes(MakePipe make_pipe) {
    auto out = make_pipe();
    if (!out) {
        return std::unexpected(out.error());
    }
    auto err = make_pipe();
    if (!err) {
        return std::unexpected(err.error());
    }
    return OutputPipes<Pipe>{std::move(*out), std::move(*err)};
}

}  // namespace tarsel::platform
