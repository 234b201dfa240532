#include <windows.h>

// After windows.h, which defines the types it uses.
#include <shellapi.h>

#include "platform/console.h"
#include "platform/text.h"

namespace tarsel::platform {
namespace {

std::u16string to_u16(const wchar_t* text) {
    std::wstring_view view(text);
    return std::u16string(view.begin(), view.end());
}

// WriteFile rather than stdio: msvcrt's text mode would turn "\n" into "\r\n",
// and a failure line must end in exactly one line feed.
void write_fully(DWORD which, std::string_view bytes) {
    HANDLE handle = ::GetStdHandle(which);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) {
        return;
    }
    while (!bytes.empty()) {
        DWORD written = 0;
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), 1u << 30));
        if (!::WriteFile(handle, bytes.data(), chunk, &written, nullptr) || written == 0) {
            return;
        }
        bytes.remove_prefix(written);
    }
}

}  // namespace

std::vector<std::string> command_line_arguments(int /*argc*/, char** /*argv*/) {
    std::vector<std::string> arguments;
    int count = 0;
    LPWSTR* vector = ::CommandLineToArgvW(::GetCommandLineW(), &count);
    if (vector == nullptr) {
        return arguments;
    }
    for (int i = 0; i < count; ++i) {
        arguments.push_back(utf16_to_utf8_lossy(to_u16(vector[i])));
    }
    ::LocalFree(vector);
    return arguments;
}

void write_standard_error(std::string_view bytes) {
    write_fully(STD_ERROR_HANDLE, bytes);
}

void write_standard_output(std::string_view bytes) {
    write_fully(STD_OUTPUT_HANDLE, bytes);
}

std::optional<std::u16string> raw_command_line() {
    return to_u16(::GetCommandLineW());
}

}  // namespace tarsel::platform
