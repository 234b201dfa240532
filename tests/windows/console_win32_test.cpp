#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <string_view>

#include "platform/console.h"
#include "platform/process.h"

namespace {

using tarsel::platform::write_standard_output;

// Points standard output at `handle` for the life of the object.
class StandardOutputSwap {
public:
    explicit StandardOutputSwap(HANDLE handle) : saved_(::GetStdHandle(STD_OUTPUT_HANDLE)) {
        ::SetStdHandle(STD_OUTPUT_HANDLE, handle);
    }
    ~StandardOutputSwap() { ::SetStdHandle(STD_OUTPUT_HANDLE, saved_); }
    StandardOutputSwap(const StandardOutputSwap&) = delete;
    StandardOutputSwap& operator=(const StandardOutputSwap&) = delete;

private:
    HANDLE saved_;
};

struct Row {
    const char* desc;
    std::string bytes;       // what tarselctl writes
    std::u16string shown;    // what the console's cells must hold
};

// 8191 letters put a surrogate pair across the first write's limit.
std::string letters(std::size_t count) {
    return std::string(count, 'a');
}

const Row kRows[] = {
    {"ASCII", "up: ok", u"up: ok"},
    {"a localized system message", "Zugriff verweigert \xE2\x80\x94 \xC3\xA4\xC3\xB6\xC3\xBC",
     u"Zugriff verweigert \u2014 \u00E4\u00F6\u00FC"},
    {"outside the BMP", "tunnel \xF0\x9F\x94\x92", u"tunnel \U0001F512"},
    {"invalid UTF-8 becomes U+FFFD", "bad \xC3 byte", u"bad \uFFFD byte"},
    {"a pair across the chunk limit", letters(8191) + "\xF0\x9F\x94\x92",
     std::u16string(8191, u'a') + u"\U0001F512"},
};

HANDLE new_screen_buffer() {
    return ::CreateConsoleScreenBuffer(GENERIC_READ | GENERIC_WRITE,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                       CONSOLE_TEXTMODE_BUFFER, nullptr);
}

// A console screen buffer of 80 columns (Wine keeps the terminal's width) and
// rows enough for the longest text, its cells read back in order from the
// first. A program started without a console gets one of its own.
TEST(ConsoleWindows, ConsoleGetsTheTextAsUtf16) {
    for (const Row& row : kRows) {
        SCOPED_TRACE(row.desc);
        HANDLE buffer = new_screen_buffer();
        if (buffer == INVALID_HANDLE_VALUE && ::AllocConsole()) {
            buffer = new_screen_buffer();
        }
        ASSERT_NE(buffer, INVALID_HANDLE_VALUE) << ::GetLastError();
        ASSERT_TRUE(::SetConsoleScreenBufferSize(buffer, COORD{80, 200})) << ::GetLastError();
        {
            StandardOutputSwap swap(buffer);
            write_standard_output(row.bytes);
        }
        std::u16string cells(row.shown.size() + 4, u'?');
        DWORD read = 0;
        ASSERT_TRUE(::ReadConsoleOutputCharacterW(buffer, reinterpret_cast<wchar_t*>(cells.data()),
                                                  static_cast<DWORD>(cells.size()), COORD{0, 0},
                                                  &read))
            << ::GetLastError();
        cells.resize(read);
        // Cells after the text are blank.
        EXPECT_EQ(cells, row.shown + u"    ");
        ::CloseHandle(buffer);
    }
}

// A pipe (or a file) gets the UTF-8 bytes unchanged, invalid ones included.
TEST(ConsoleWindows, PipeGetsTheBytesUnchanged) {
    for (const Row& row : kRows) {
        SCOPED_TRACE(row.desc);
        HANDLE read_end = nullptr;
        HANDLE write_end = nullptr;
        ASSERT_TRUE(::CreatePipe(&read_end, &write_end, nullptr, 1 << 16));
        {
            StandardOutputSwap swap(write_end);
            write_standard_output(row.bytes);
        }
        ::CloseHandle(write_end);
        std::string received;
        char chunk[4096];
        DWORD n = 0;
        while (::ReadFile(read_end, chunk, sizeof chunk, &n, nullptr) && n > 0) {
            received.append(chunk, n);
        }
        ::CloseHandle(read_end);
        EXPECT_EQ(received, row.bytes);
    }
}

// wireguard.exe talks through its pipes only. A console program started
// without DETACHED_PROCESS shares its parent's console, and a service, which
// has none, would have one made for it on every action, the console host's
// start on top of the action's time. This program runs on a terminal, so it
// has a console the child could share.
TEST(ConsoleWindows, TheRunnersChildIsGivenNoConsole) {
    DWORD attached[4];
    ASSERT_GT(::GetConsoleProcessList(attached, 4), 0u) << "this program has no console to share";
    wchar_t self[MAX_PATH];
    const DWORD length = ::GetModuleFileNameW(nullptr, self, MAX_PATH);
    ASSERT_GT(length, 0u);
    const std::filesystem::path probe =
        std::filesystem::path(std::wstring(self, length)).parent_path() / L"console-probe.exe";
    const std::wstring quoted = L"\"" + probe.native() + L"\"";
    const auto output = tarsel::platform::run_process(
        {probe, {}, std::u16string(quoted.begin(), quoted.end())});
    ASSERT_TRUE(output.has_value());
    EXPECT_EQ(output->exit_code, 0u);
    EXPECT_EQ(output->standard_output, "0") << "processes on the child's console";
}

}  // namespace
