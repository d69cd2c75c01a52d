// The shared settings key as another program sees it, read and written
// straight through the registry (not through the settings store), for the
// ASIO driver's and the control panel's tests. Call from a client process.
#pragma once

#include <windows.h>

#include <vector>

#include "asio/settings/settings_table.h"

namespace settingsregistry {

struct Stored {
  bool present = false;
  DWORD type = 0;
  std::vector<BYTE> bytes;
};

// What the settings key holds under `name` (64-bit view).
inline Stored StoredValue(const wchar_t* name) {
  Stored s;
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, VM_ASIO_SETTINGS_KEY, 0, KEY_READ | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS)
    return s;
  BYTE data[1024];
  DWORD bytes = sizeof data;
  s.present = RegQueryValueExW(key, name, nullptr, &s.type, data, &bytes) == ERROR_SUCCESS;
  if (s.present) s.bytes.assign(data, data + bytes);
  RegCloseKey(key);
  return s;
}

inline bool SettingsKeyExists() {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, VM_ASIO_SETTINGS_KEY, 0, KEY_READ | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS)
    return false;
  RegCloseKey(key);
  return true;
}

// Stores a value as someone else might, creating the key (empty) when it is
// missing; false when the registry refused.
inline bool StoreValue(const wchar_t* name, DWORD type, const void* data, DWORD bytes) {
  HKEY key = nullptr;
  DWORD disposition = 0;
  if (RegCreateKeyExW(HKEY_CURRENT_USER, VM_ASIO_SETTINGS_KEY, 0, nullptr, 0, KEY_WRITE | KEY_WOW64_64KEY, nullptr,
                      &key, &disposition) != ERROR_SUCCESS)
    return false;
  const bool stored = RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data), bytes) == ERROR_SUCCESS;
  RegCloseKey(key);
  return stored;
}

}  // namespace settingsregistry
