#include <windows.h>

// After windows.h, which defines the types it uses.
#include <shellapi.h>

#include "platform/console.h"
#include "platform/text.h"
#include "platform/win32_io.h"

namespace tarsel::platform {
namespace {

std::u16string to_u16(const wchar_t* text) {
    std::wstring_view view(text);
    return std::u16string(view.begin(), view.end());
}

// A console decodes the bytes WriteFile hands it in its OEM code page, so
// UTF-8 text would come out garbled there; a console gets UTF-16 through
// WriteConsoleW instead. Everything else (a file, a pipe) gets the UTF-8
// bytes through WriteFile rather than stdio: msvcrt's text mode would turn
// "\n" into "\r\n", and a failure line must end in exactly one line feed.
void write_bytes(HANDLE handle, std::string_view bytes) {
    // Nothing is left to tell when the standard streams themselves fail.
    (void)win32::write_all(handle, bytes);
}

// Consoles before Windows 8 refused writes much above 64 KiB; chunks stay
// well below that and never split a surrogate pair.
constexpr std::size_t kConsoleChunkUnits = 8192;

void write_console(HANDLE handle, std::string_view bytes) {
    const std::u16string text = utf8_to_utf16(bytes);
    std::u16string_view rest(text);
    while (!rest.empty()) {
        std::size_t chunk = std::min(rest.size(), kConsoleChunkUnits);
        if (chunk < rest.size() && rest[chunk - 1] >= 0xD800 && rest[chunk - 1] <= 0xDBFF) {
            --chunk;
        }
        DWORD written = 0;
        if (!::WriteConsoleW(handle, rest.data(), static_cast<DWORD>(chunk), &written, nullptr) ||
            written == 0) {
            return;
        }
        rest.remove_prefix(std::min<std::size_t>(written, rest.size()));
    }
}

void write_fully(DWORD which, std::string_view bytes) {
    HANDLE handle = ::GetStdHandle(which);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) {
        return;
    }
    DWORD mode = 0;
    if (::GetConsoleMode(handle, &mode)) {
        write_console(handle, bytes);
    } else {
        write_bytes(handle, bytes);
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

bool standard_error_is_terminal() {
    DWORD mode = 0;
    return ::GetConsoleMode(::GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

}  // namespace tarsel::platform
