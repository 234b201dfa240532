// The shipped executables as Windows sees them: the version resource that
// Explorer and installers read, and the manifest the loader applies.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/text.h"
#include "support/temp_dir.h"

namespace {

using namespace tarsel::testing;

std::wstring wide(const fs::path& path) {
    return path.wstring();
}

std::string query_string(const std::vector<char>& block, const wchar_t* name) {
    const std::wstring key = std::wstring(L"\\StringFileInfo\\040904B0\\") + name;
    void* value = nullptr;
    UINT length = 0;
    if (!::VerQueryValueW(block.data(), key.c_str(), &value, &length) || length == 0) {
        return "<missing>";
    }
    // The length counts the terminating NUL.
    const std::wstring_view text(static_cast<const wchar_t*>(value), length - 1);
    return tarsel::platform::utf16_to_utf8_lossy(std::u16string(text.begin(), text.end()));
}

std::string manifest_of(const fs::path& program) {
    HMODULE module = ::LoadLibraryExW(wide(program).c_str(), nullptr,
                                      LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    if (module == nullptr) {
        return "<not loadable>";
    }
    std::string text = "<missing>";
    if (HRSRC resource = ::FindResourceW(module, MAKEINTRESOURCEW(1), RT_MANIFEST)) {
        if (HGLOBAL loaded = ::LoadResource(module, resource)) {
            text.assign(static_cast<const char*>(::LockResource(loaded)),
                        ::SizeofResource(module, resource));
        }
    }
    ::FreeLibrary(module);
    return text;
}

TEST(ShippedExecutables, CarryVersionResourceAndManifest) {
    struct Row {
        const char* file;
        const char* description;
    };
    const Row rows[] = {
        {"tarsel-helper.exe", "TarselVPN Helper service"},
        {"tarselctl.exe", "TarselVPN Helper command-line client"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.file);
        const fs::path program = program_directory() / row.file;
        DWORD ignored = 0;
        const DWORD size = ::GetFileVersionInfoSizeW(wide(program).c_str(), &ignored);
        ASSERT_GT(size, 0u) << "no version resource";
        std::vector<char> block(size);
        ASSERT_TRUE(::GetFileVersionInfoW(wide(program).c_str(), 0, size, block.data()));

        EXPECT_EQ(query_string(block, L"ProductName"), "TarselVPN Helper");
        EXPECT_EQ(query_string(block, L"FileDescription"), row.description);
        EXPECT_EQ(query_string(block, L"ProductVersion"), TARSEL_VERSION);
        EXPECT_EQ(query_string(block, L"FileVersion"), TARSEL_VERSION);
        EXPECT_EQ(query_string(block, L"OriginalFilename"), row.file);

        VS_FIXEDFILEINFO* fixed = nullptr;
        UINT length = 0;
        ASSERT_TRUE(
            ::VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
        EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
        EXPECT_EQ(fixed->dwFileVersionMS, (TARSEL_VERSION_MAJOR << 16u) | TARSEL_VERSION_MINOR);
        EXPECT_EQ(fixed->dwFileVersionLS, TARSEL_VERSION_PATCH << 16u);
        EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_APP));

        const std::string manifest = manifest_of(program);
        EXPECT_NE(manifest.find(R"(<requestedExecutionLevel level="asInvoker")"), std::string::npos)
            << manifest;
        EXPECT_NE(manifest.find(R"(<supportedOS Id="{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"/>)"),
                  std::string::npos)
            << manifest;
    }
}

}  // namespace
