// The shipped executable describes itself like a well-made Windows program: a version resource
// and an application manifest, read back here through the system's own resource functions.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "wine/process.hpp"

namespace orvex {
namespace {

const std::wstring EXE = testing::build_dir() + L"\\orvex-uninstall.exe";

std::wstring version_string(const wchar_t* name) {
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(EXE.c_str(), &ignored);
    std::vector<BYTE> data(size);
    if (size == 0 || !GetFileVersionInfoW(EXE.c_str(), 0, size, data.data())) {
        return L"<no version resource>";
    }
    void* value = nullptr;
    UINT length = 0;
    const std::wstring query = L"\\StringFileInfo\\040904b0\\" + std::wstring(name);
    if (!VerQueryValueW(data.data(), query.c_str(), &value, &length) || length == 0) {
        return L"<missing>";
    }
    return std::wstring(static_cast<const wchar_t*>(value));
}

TEST(ExecutableResources, VersionResourceDescribesTheTool) {
    EXPECT_EQ(version_string(L"ProductName"), L"Orvex VPN");
    EXPECT_EQ(version_string(L"FileVersion"), L"0.1.0.0");
    EXPECT_NE(version_string(L"FileDescription").find(L"removes the orvex_vpn_service service"),
              std::wstring::npos);
}

TEST(ExecutableResources, ManifestRunsAsInvokerOnWindows10And11WithLongPaths) {
    HMODULE image = LoadLibraryExW(EXE.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(image, nullptr);
    HRSRC resource = FindResourceW(image, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));
    ASSERT_NE(resource, nullptr);
    const auto* bytes = static_cast<const char*>(LockResource(LoadResource(image, resource)));
    const std::string manifest(bytes, SizeofResource(image, resource));
    FreeLibrary(image);
    EXPECT_NE(manifest.find(R"(level="asInvoker")"), std::string::npos);
    EXPECT_NE(manifest.find("{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"), std::string::npos);
    EXPECT_NE(manifest.find(">true</longPathAware>"), std::string::npos);
}

} // namespace
} // namespace orvex
