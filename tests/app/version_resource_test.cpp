// The version details and the manifest of the built installer, read back from the file as
// Windows reads them (GetFileVersionInfo, VerQueryValue, the manifest resource). Runs in the
// installer's folder.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "product_version.h"

namespace {

const wchar_t* const kInstaller = L"VantreoInstaller.exe";

std::vector<BYTE> ReadVersionInfo() {
  DWORD ignored = 0;
  const DWORD size = ::GetFileVersionInfoSizeW(kInstaller, &ignored);
  std::vector<BYTE> info(size);
  if (size == 0 || !::GetFileVersionInfoW(kInstaller, 0, size, info.data())) info.clear();
  return info;
}

std::wstring Field(std::vector<BYTE>& info, const wchar_t* name) {
  const std::wstring path = std::wstring(L"\\StringFileInfo\\080404b0\\") + name;
  void* value = nullptr;
  UINT length = 0;
  if (!::VerQueryValueW(info.data(), path.c_str(), &value, &length) || length == 0) return L"";
  return static_cast<const wchar_t*>(value);
}

TEST(VersionResource, EveryFieldCarriesTheBuildsValue) {
  std::vector<BYTE> info = ReadVersionInfo();
  ASSERT_FALSE(info.empty()) << "no version resource, error " << ::GetLastError();
  // Wide literals: the resource script turned the UTF-8 names into UTF-16, not code page 936.
  const struct {
    const wchar_t* name;
    const wchar_t* expected;
  } fields[] = {
      {L"CompanyName", L"" VANTREO_COMPANY_NAME},
      {L"FileDescription", L"" VANTREO_FILE_DESCRIPTION},
      {L"FileVersion", L"" VANTREO_FILE_VERSION},
      {L"ProductName", L"" VANTREO_PRODUCT_NAME},
      {L"ProductVersion", L"" VANTREO_PRODUCT_VERSION},
      {L"OriginalFilename", L"VantreoInstaller.exe"},
      {L"LegalCopyright", L"" VANTREO_LEGAL_COPYRIGHT},
  };
  for (const auto& field : fields) {
    EXPECT_EQ(Field(info, field.name), field.expected) << "field " << field.name;
  }
  EXPECT_EQ(std::wstring(L"" VANTREO_FILE_DESCRIPTION), L"Lumeo棋牌安装向导");

  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  ASSERT_TRUE(::VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
  EXPECT_EQ(fixed->dwFileVersionMS, MAKELONG(VANTREO_VERSION_MINOR, VANTREO_VERSION_MAJOR));
  EXPECT_EQ(fixed->dwFileVersionLS, MAKELONG(VANTREO_VERSION_TWEAK, VANTREO_VERSION_PATCH));
  EXPECT_EQ(fixed->dwProductVersionMS, fixed->dwFileVersionMS);
  EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_APP));
}

TEST(VersionResource, ManifestNamesTheSameVersion) {
  HMODULE module = ::LoadLibraryExW(kInstaller, nullptr, LOAD_LIBRARY_AS_DATAFILE);
  ASSERT_NE(module, nullptr);
  HRSRC found = ::FindResourceW(module, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));
  ASSERT_NE(found, nullptr);
  const char* bytes = static_cast<const char*>(::LockResource(::LoadResource(module, found)));
  const std::string manifest(bytes, ::SizeofResource(module, found));
  ::FreeLibrary(module);
  EXPECT_NE(manifest.find("name=\"Vantreo.Installer\" version=\"" VANTREO_FILE_VERSION "\""),
            std::string::npos)
      << manifest;
}

}  // namespace
