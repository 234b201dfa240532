#include <windows.h>

#include <string>

#include "support/pipe_holder.h"
#include "support/standin_protocol.h"

namespace tarsel::testing {

bool start_pipe_holder(const platform::Path& program) {
    // The standard handles came in inherited; marking them again makes sure
    // the copy receives them whatever this process was given.
    const HANDLE output = ::GetStdHandle(STD_OUTPUT_HANDLE);
    const HANDLE error = ::GetStdHandle(STD_ERROR_HANDLE);
    if (!::SetHandleInformation(output, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT) ||
        !::SetHandleInformation(error, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT)) {
        return false;
    }
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = output;
    startup.hStdError = error;
    const std::string argument(standin::kHoldPipesArgument);
    std::wstring command_line = L"\"" + program.native() + L"\" " +
                                std::wstring(argument.begin(), argument.end());
    PROCESS_INFORMATION started{};
    if (!::CreateProcessW(program.c_str(), command_line.data(), nullptr, nullptr, TRUE, 0,
                          nullptr, nullptr, &startup, &started)) {
        return false;
    }
    ::CloseHandle(started.hThread);
    ::CloseHandle(started.hProcess);
    return true;
}

}  // namespace tarsel::testing
