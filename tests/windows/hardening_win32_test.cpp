// The process-wide defences. Each test case runs in a process of its own, so
// turning them on here changes no other test.
#include <windows.h>

#include <gtest/gtest.h>

#include "platform/hardening.h"

namespace {

TEST(HardenProcess, DllsNamedWithoutAPathComeOnlyFromSystem32) {
    // Without the defence the DLL beside the program loads by its bare name.
    HMODULE planted = ::LoadLibraryW(L"tarsel-probe.dll");
    ASSERT_NE(planted, nullptr) << "the probe DLL is missing beside the test program";
    ASSERT_TRUE(::FreeLibrary(planted));
    ASSERT_EQ(::GetModuleHandleW(L"tarsel-probe.dll"), nullptr);

    tarsel::platform::harden_process();

    EXPECT_EQ(::LoadLibraryW(L"tarsel-probe.dll"), nullptr);
    HMODULE system = ::LoadLibraryW(L"version.dll");
    EXPECT_NE(system, nullptr) << "a System32 DLL must still load";
    if (system != nullptr) {
        ::FreeLibrary(system);
    }
}

}  // namespace
