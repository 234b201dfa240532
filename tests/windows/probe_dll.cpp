// A DLL that does nothing, placed beside the test programs: the kind of file
// a user might plant next to the helper.
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) {
    return TRUE;
}
