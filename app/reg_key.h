// RegKey: owns one open registry key. Every operation returns the registry's error code
// (ERROR_SUCCESS, 0, for success).
#pragma once

#include <windows.h>

class RegKey {
 public:
  RegKey() = default;
  ~RegKey() { Close(); }
  RegKey(const RegKey&) = delete;
  RegKey& operator=(const RegKey&) = delete;

  // Opens `subKey` under `parent`. On success the key held before is closed and the new one
  // held; on failure the old one stays held.
  LONG Open(HKEY parent, const char* subKey, REGSAM access);
  // The same, but creates the key when it does not exist (non-volatile, default security).
  LONG Create(HKEY parent, const char* subKey, REGSAM access);

  // Reads a REG_SZ or REG_EXPAND_SZ value into `buffer`, as UTF-8. On entry *inOutBytes is the
  // buffer size; it is set to 0 first, so that every failure leaves it 0, and on success it is
  // the number of UTF-8 bytes, NUL included. Another type, or data not ending in a NUL, gives
  // ERROR_INVALID_DATA; a value larger than the buffer gives ERROR_MORE_DATA. A value with no
  // data reads as an empty string of length 0.
  LONG ReadString(const char* valueName, char* buffer, DWORD* inOutBytes);

  // Writes `value` (UTF-8) as REG_SZ (UTF-16, NUL included) under `subKeyName` of the held key, creating that
  // sub-key if needed; an empty `subKeyName` writes into the held key itself.
  LONG WriteString(const char* subKeyName, const char* value, const char* valueName);

  // Closes the held key, if any; returns the close result, or 0 when nothing was held.
  LONG Close();

  HKEY Handle() const { return key_; }

 private:
  HKEY key_ = nullptr;
};
