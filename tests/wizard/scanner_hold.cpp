// scanner_hold.exe NAME MILLISECONDS: does what a virus scanner does to a file being written.
// It looks every 5 ms in the installer's download folders (C:\ProgramData\Vantreo*, and the
// user's temporary folder) for a file named NAME, opens the first it finds for reading, sharing
// it for reading and writing but not for deleting or renaming, holds it for MILLISECONDS,
// closes it and ends with 0 ("held PATH" on its output). The writer goes on writing meanwhile;
// whoever renames the file must wait. It ends with 1 when no such file appears within two
// minutes.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

constexpr DWORD kLookMs = 5;
constexpr DWORD kGiveUpMs = 120000;

std::vector<std::wstring> DownloadFolders() {
  std::vector<std::wstring> folders;
  WIN32_FIND_DATAW found;
  HANDLE search = ::FindFirstFileW(L"C:\\ProgramData\\Vantreo*", &found);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
        folders.push_back(std::wstring(L"C:\\ProgramData\\") + found.cFileName + L"\\");
    } while (::FindNextFileW(search, &found));
    ::FindClose(search);
  }
  wchar_t temp[MAX_PATH + 1] = {};
  if (::GetTempPathW(MAX_PATH + 1, temp)) folders.push_back(temp);
  return folders;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: scanner_hold NAME MILLISECONDS\n");
    return 2;
  }
  const DWORD holdMs = static_cast<DWORD>(std::wcstoul(argv[2], nullptr, 10));
  const DWORD start = ::GetTickCount();
  while (::GetTickCount() - start < kGiveUpMs) {
    for (const std::wstring& folder : DownloadFolders()) {
      const std::wstring path = folder + argv[1];
      HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
      if (file == INVALID_HANDLE_VALUE) continue;
      ::Sleep(holdMs);
      ::CloseHandle(file);
      std::printf("held %ls\n", path.c_str());
      return 0;
    }
    ::Sleep(kLookMs);
  }
  return 1;
}
