// Registry values: query (the size protocol of RegQueryValueExW), set (type
// and bytes stored exactly as given: a reader must cope with any type and
// size), delete and enumerate. Names are case-insensitive, case preserved;
// a null or empty name is the key's unnamed value.
#include "platform/kernel/client_process.h"
// The kernel headers first: <windows.h> leaves their definitions alone.
#include "platform/win32/registry_internal.h"
#include "platform/win32/win32_internal.h"

#include <cstring>
#include <vector>

namespace {

namespace reg = platform::win32::registry;

// The value's type and bytes into the caller's optional buffers: with no
// data buffer the size only; a buffer too small gets nothing and
// ERROR_MORE_DATA with the size needed.
LSTATUS ReturnData(const platform::RegistryValue& value, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
  if (lpType) *lpType = value.type;
  DWORD size = static_cast<DWORD>(value.data.size());
  if (!lpData) {
    if (lpcbData) *lpcbData = size;
    return ERROR_SUCCESS;
  }
  if (*lpcbData < size) {
    *lpcbData = size;
    return ERROR_MORE_DATA;
  }
  if (size) memcpy(lpData, value.data.data(), size);
  *lpcbData = size;
  return ERROR_SUCCESS;
}

// The handle's key, if it grants `needed`.
LSTATUS KeyFor(HKEY hKey, ACCESS_MASK needed, reg::OpenKey* key) {
  LSTATUS error = reg::LookUp(hKey, key);
  if (error) return error;
  return (key->access & needed) == needed ? ERROR_SUCCESS : ERROR_ACCESS_DENIED;
}

}  // namespace

USBAUDIO_BEGIN_C

LSTATUS WINAPI RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                                LPDWORD lpcbData) {
  platform::win32::detail::RequireClientProcess("RegQueryValueExW");
  if (lpReserved || (lpData && !lpcbData)) return ERROR_INVALID_PARAMETER;
  reg::OpenKey key;
  LSTATUS error = KeyFor(hKey, KEY_QUERY_VALUE, &key);
  if (error) return error;
  platform::RegistryValue value;
  platform::RegistryStatus status = platform::RegistryKeyGetValue(key.keyId, reg::FromWide(lpValueName), &value);
  if (status != platform::RegistryStatus::kSuccess) return reg::ErrorOf(status);
  return ReturnData(value, lpType, lpData, lpcbData);
}

LSTATUS WINAPI RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD Reserved, DWORD dwType, const BYTE* lpData,
                              DWORD cbData) {
  (void)Reserved;
  platform::win32::detail::RequireClientProcess("RegSetValueExW");
  reg::OpenKey key;
  LSTATUS error = KeyFor(hKey, KEY_SET_VALUE, &key);
  if (error) return error;
  if (!lpData && cbData) return ERROR_NOACCESS;
  return reg::ErrorOf(platform::RegistryKeySetValue(key.keyId, reg::FromWide(lpValueName), dwType, lpData, cbData));
}

LSTATUS WINAPI RegDeleteValueW(HKEY hKey, LPCWSTR lpValueName) {
  platform::win32::detail::RequireClientProcess("RegDeleteValueW");
  reg::OpenKey key;
  LSTATUS error = KeyFor(hKey, KEY_SET_VALUE, &key);
  if (error) return error;
  return reg::ErrorOf(platform::RegistryKeyDeleteValue(key.keyId, reg::FromWide(lpValueName)));
}

LSTATUS WINAPI RegEnumValueW(HKEY hKey, DWORD dwIndex, LPWSTR lpValueName, LPDWORD lpcchValueName,
                             LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
  platform::win32::detail::RequireClientProcess("RegEnumValueW");
  if (!lpValueName || !lpcchValueName || lpReserved || (lpData && !lpcbData)) return ERROR_INVALID_PARAMETER;
  reg::OpenKey key;
  LSTATUS error = KeyFor(hKey, KEY_QUERY_VALUE, &key);
  if (error) return error;
  std::vector<std::pair<std::u16string, platform::RegistryValue>> values;
  platform::RegistryStatus status = platform::RegistryKeyValues(key.keyId, &values);
  if (status != platform::RegistryStatus::kSuccess) return reg::ErrorOf(status);
  if (dwIndex >= values.size()) return ERROR_NO_MORE_ITEMS;
  const std::u16string& name = values[dwIndex].first;
  if (name.size() + 1 > *lpcchValueName) return ERROR_MORE_DATA;
  for (size_t i = 0; i < name.size(); ++i) lpValueName[i] = static_cast<WCHAR>(name[i]);
  lpValueName[name.size()] = 0;
  *lpcchValueName = static_cast<DWORD>(name.size());
  return ReturnData(values[dwIndex].second, lpType, lpData, lpcbData);
}

USBAUDIO_END_C
