#include "app/reg_key.h"

#include <cstring>

LONG RegKey::Open(HKEY parent, const char* subKey, REGSAM access) {
  HKEY opened = nullptr;
  LONG result = ::RegOpenKeyExA(parent, subKey, 0, access, &opened);
  if (result != ERROR_SUCCESS) return result;
  Close();
  key_ = opened;
  return ERROR_SUCCESS;
}

LONG RegKey::Create(HKEY parent, const char* subKey, REGSAM access) {
  HKEY created = nullptr;
  LONG result = ::RegCreateKeyExA(parent, subKey, 0, nullptr, REG_OPTION_NON_VOLATILE, access,
                                  nullptr, &created, nullptr);
  if (result != ERROR_SUCCESS) return result;
  Close();
  key_ = created;
  return ERROR_SUCCESS;
}

LONG RegKey::ReadString(const char* valueName, char* buffer, DWORD* inOutBytes) {
  const DWORD bufferBytes = *inOutBytes;
  *inOutBytes = 0;
  DWORD bytes = bufferBytes;
  DWORD type = REG_NONE;
  LONG result =
      ::RegQueryValueExA(key_, valueName, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &bytes);
  if (result != ERROR_SUCCESS) return result;
  if (type != REG_SZ && type != REG_EXPAND_SZ) return ERROR_INVALID_DATA;
  if (buffer) {
    if (bytes == 0) {
      // A value without data reads as the empty string.
      if (bufferBytes > 0) buffer[0] = '\0';
      return ERROR_SUCCESS;
    }
    if (buffer[bytes - 1] != '\0') return ERROR_INVALID_DATA;
  }
  *inOutBytes = bytes;
  return ERROR_SUCCESS;
}

LONG RegKey::WriteString(const char* subKeyName, const char* value, const char* valueName) {
  HKEY target = nullptr;
  LONG result = ::RegCreateKeyExA(key_, subKeyName, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                  KEY_READ | KEY_WRITE, nullptr, &target, nullptr);
  if (result != ERROR_SUCCESS) return result;
  result = ::RegSetValueExA(target, valueName, 0, REG_SZ, reinterpret_cast<const BYTE*>(value),
                            static_cast<DWORD>(std::strlen(value) + 1));
  ::RegCloseKey(target);
  return result;
}

LONG RegKey::Close() {
  if (!key_) return ERROR_SUCCESS;
  LONG result = ::RegCloseKey(key_);
  key_ = nullptr;
  return result;
}
