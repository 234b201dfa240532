// Prints how many processes share its console: 0 when it was started without
// one. The console tests start it as the runner starts wireguard.exe.
#include <windows.h>

#include <cstdio>

int main() {
    DWORD attached[4];
    std::printf("%lu", static_cast<unsigned long>(::GetConsoleProcessList(attached, 4)));
    return 0;
}
