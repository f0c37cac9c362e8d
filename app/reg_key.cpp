#include "app/reg_key.h"

#include <cstring>
#include <string>

#include "platform/text_win32.h"

using platform::Utf8ToWide;

LONG RegKey::Open(HKEY parent, const char* subKey, REGSAM access) {
  HKEY opened = nullptr;
  LONG result = ::RegOpenKeyExW(parent, Utf8ToWide(subKey).c_str(), 0, access, &opened);
  if (result != ERROR_SUCCESS) return result;
  Close();
  key_ = opened;
  return ERROR_SUCCESS;
}

LONG RegKey::Create(HKEY parent, const char* subKey, REGSAM access) {
  HKEY created = nullptr;
  LONG result = ::RegCreateKeyExW(parent, Utf8ToWide(subKey).c_str(), 0, nullptr,
                                  REG_OPTION_NON_VOLATILE, access, nullptr, &created, nullptr);
  if (result != ERROR_SUCCESS) return result;
  Close();
  key_ = created;
  return ERROR_SUCCESS;
}

LONG RegKey::ReadString(const char* valueName, char* buffer, DWORD* inOutBytes) {
  const DWORD bufferBytes = *inOutBytes;
  *inOutBytes = 0;
  // The registry holds text as UTF-16, whichever functions wrote it: read that, hand out UTF-8.
  const std::wstring name = Utf8ToWide(valueName);
  DWORD bytes = 0;
  DWORD type = REG_NONE;
  LONG result = ::RegQueryValueExW(key_, name.c_str(), nullptr, &type, nullptr, &bytes);
  if (result != ERROR_SUCCESS) return result;
  if (type != REG_SZ && type != REG_EXPAND_SZ) return ERROR_INVALID_DATA;
  std::wstring text((bytes + 1) / sizeof(wchar_t), L'\0');
  if (bytes > 0) {
    result = ::RegQueryValueExW(key_, name.c_str(), nullptr, &type,
                                reinterpret_cast<BYTE*>(&text[0]), &bytes);
    if (result != ERROR_SUCCESS) return result;
  }
  if (bytes == 0) {
    // A value without data reads as the empty string.
    if (buffer && bufferBytes > 0) buffer[0] = '\0';
    return ERROR_SUCCESS;
  }
  if (bytes % sizeof(wchar_t) != 0 || text[bytes / sizeof(wchar_t) - 1] != L'\0')
    return ERROR_INVALID_DATA;
  const std::string narrow = platform::WideToUtf8(text);
  const DWORD needed = static_cast<DWORD>(narrow.size() + 1);
  if (buffer) {
    if (needed > bufferBytes) return ERROR_MORE_DATA;
    std::memcpy(buffer, narrow.c_str(), needed);
  }
  *inOutBytes = needed;
  return ERROR_SUCCESS;
}

LONG RegKey::WriteString(const char* subKeyName, const char* value, const char* valueName) {
  HKEY target = nullptr;
  LONG result = ::RegCreateKeyExW(key_, Utf8ToWide(subKeyName).c_str(), 0, nullptr,
                                  REG_OPTION_NON_VOLATILE, KEY_READ | KEY_WRITE, nullptr, &target,
                                  nullptr);
  if (result != ERROR_SUCCESS) return result;
  const std::wstring text = Utf8ToWide(value);
  result = ::RegSetValueExW(target, Utf8ToWide(valueName).c_str(), 0, REG_SZ,
                            reinterpret_cast<const BYTE*>(text.c_str()),
                            static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
  ::RegCloseKey(target);
  return result;
}

LONG RegKey::Close() {
  if (!key_) return ERROR_SUCCESS;
  LONG result = ::RegCloseKey(key_);
  key_ = nullptr;
  return result;
}
