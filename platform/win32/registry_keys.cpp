// Registry keys: open, create (with disposition and missing parents), close,
// delete (one key without subkeys, or a whole tree) and subkey enumeration.
// Registry functions return their error code and leave the thread's last
// error alone, as advapi32 does.
#include "platform/kernel/client_process.h"
// The kernel headers first: <windows.h> leaves their definitions alone.
#include "platform/win32/registry_internal.h"
#include "platform/win32/win32_internal.h"

#include <vector>

namespace {

namespace reg = platform::win32::registry;

LSTATUS DeleteTreeAt(const std::u16string& path) {
  if (reg::IsRootPath(path)) return ERROR_ACCESS_DENIED;
  return platform::RegistryDeleteKey(path) ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
}

// RegDeleteTreeW without a subkey: the key's subkeys and values go, the key
// stays.
LSTATUS EmptyKey(const reg::OpenKey& key) {
  std::vector<std::u16string> subkeys;
  platform::RegistryStatus status = platform::RegistryKeySubkeys(key.keyId, &subkeys);
  if (status != platform::RegistryStatus::kSuccess) return reg::ErrorOf(status);
  for (const std::u16string& name : subkeys) platform::RegistryDeleteKey(key.path + u"\\" + name);
  std::vector<std::pair<std::u16string, platform::RegistryValue>> values;
  status = platform::RegistryKeyValues(key.keyId, &values);
  if (status != platform::RegistryStatus::kSuccess) return reg::ErrorOf(status);
  for (const auto& value : values) platform::RegistryKeyDeleteValue(key.keyId, value.first);
  return ERROR_SUCCESS;
}

}  // namespace

USBAUDIO_BEGIN_C

LSTATUS WINAPI RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult) {
  (void)ulOptions;  // REG_OPTION_OPEN_LINK: there are no symbolic links here
  platform::win32::detail::RequireClientProcess("RegOpenKeyExW");
  if (!phkResult) return ERROR_INVALID_PARAMETER;
  *phkResult = nullptr;
  if (!reg::ValidView(samDesired)) return ERROR_INVALID_PARAMETER;
  reg::OpenKey base;
  LSTATUS error = reg::LookUp(hKey, &base);
  if (error) return error;
  std::u16string path;
  if ((error = reg::Resolve(base, lpSubKey, samDesired, &path))) return error;
  uint64_t id = platform::RegistryOpenKey(path);
  if (!id) return ERROR_FILE_NOT_FOUND;
  *phkResult = reg::AddHandle(id, reg::GrantedAccess(samDesired));
  return ERROR_SUCCESS;
}

LSTATUS WINAPI RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD Reserved, LPWSTR lpClass, DWORD dwOptions,
                               REGSAM samDesired, const LPSECURITY_ATTRIBUTES lpSecurityAttributes, PHKEY phkResult,
                               LPDWORD lpdwDisposition) {
  // Classes, volatility and security descriptors are not modelled.
  (void)Reserved;
  (void)lpClass;
  (void)dwOptions;
  (void)lpSecurityAttributes;
  platform::win32::detail::RequireClientProcess("RegCreateKeyExW");
  if (!phkResult || !lpSubKey) return ERROR_INVALID_PARAMETER;
  *phkResult = nullptr;
  if (!reg::ValidView(samDesired)) return ERROR_INVALID_PARAMETER;
  reg::OpenKey base;
  LSTATUS error = reg::LookUp(hKey, &base);
  if (error) return error;
  std::u16string path;
  if ((error = reg::Resolve(base, lpSubKey, samDesired, &path))) return error;
  uint64_t id = platform::RegistryOpenKey(path);
  bool created = false;
  if (!id) {
    if (!(base.access & KEY_CREATE_SUB_KEY)) return ERROR_ACCESS_DENIED;
    id = platform::RegistryCreateKey(path, &created);
  }
  *phkResult = reg::AddHandle(id, reg::GrantedAccess(samDesired));
  if (lpdwDisposition) *lpdwDisposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
  return ERROR_SUCCESS;
}

LSTATUS WINAPI RegCloseKey(HKEY hKey) {
  platform::win32::detail::RequireClientProcess("RegCloseKey");
  return reg::CloseKeyHandle(hKey);
}

LSTATUS WINAPI RegDeleteKeyExW(HKEY hKey, LPCWSTR lpSubKey, REGSAM samDesired, DWORD Reserved) {
  (void)Reserved;
  platform::win32::detail::RequireClientProcess("RegDeleteKeyExW");
  if (!lpSubKey) return ERROR_INVALID_PARAMETER;
  if (!reg::ValidView(samDesired)) return ERROR_INVALID_PARAMETER;
  reg::OpenKey base;
  LSTATUS error = reg::LookUp(hKey, &base);
  if (error) return error;
  std::u16string path;
  if ((error = reg::Resolve(base, lpSubKey, samDesired, &path))) return error;
  if (reg::IsRootPath(path)) return ERROR_ACCESS_DENIED;
  return reg::ErrorOf(platform::RegistryDeleteLeafKey(path));
}

LSTATUS WINAPI RegDeleteKeyW(HKEY hKey, LPCWSTR lpSubKey) {
  platform::win32::detail::RequireClientProcess("RegDeleteKeyW");
  return RegDeleteKeyExW(hKey, lpSubKey, 0, 0);
}

LSTATUS WINAPI RegDeleteTreeW(HKEY hKey, LPCWSTR lpSubKey) {
  platform::win32::detail::RequireClientProcess("RegDeleteTreeW");
  reg::OpenKey base;
  LSTATUS error = reg::LookUp(hKey, &base);
  if (error) return error;
  constexpr ACCESS_MASK kNeeded = DELETE | KEY_ENUMERATE_SUB_KEYS | KEY_QUERY_VALUE;
  if ((base.access & kNeeded) != kNeeded) return ERROR_ACCESS_DENIED;
  if (!lpSubKey) return EmptyKey(base);
  std::u16string path;
  if ((error = reg::Resolve(base, lpSubKey, 0, &path))) return error;
  return DeleteTreeAt(path);
}

LSTATUS WINAPI RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, LPDWORD lpcchName, LPDWORD lpReserved,
                             LPWSTR lpClass, LPDWORD lpcchClass, PFILETIME lpftLastWriteTime) {
  platform::win32::detail::RequireClientProcess("RegEnumKeyExW");
  if (!lpName || !lpcchName || lpReserved || (lpClass && !lpcchClass)) return ERROR_INVALID_PARAMETER;
  reg::OpenKey key;
  LSTATUS error = reg::LookUp(hKey, &key);
  if (error) return error;
  if (!(key.access & KEY_ENUMERATE_SUB_KEYS)) return ERROR_ACCESS_DENIED;
  std::vector<std::u16string> names;
  platform::RegistryStatus status = platform::RegistryKeySubkeys(key.keyId, &names);
  if (status != platform::RegistryStatus::kSuccess) return reg::ErrorOf(status);
  if (dwIndex >= names.size()) return ERROR_NO_MORE_ITEMS;
  const std::u16string& name = names[dwIndex];
  if (name.size() + 1 > *lpcchName) return ERROR_MORE_DATA;
  for (size_t i = 0; i < name.size(); ++i) lpName[i] = static_cast<WCHAR>(name[i]);
  lpName[name.size()] = 0;
  *lpcchName = static_cast<DWORD>(name.size());
  if (lpClass) {  // keys have no class here
    if (*lpcchClass < 1) return ERROR_MORE_DATA;
    lpClass[0] = 0;
    *lpcchClass = 0;
  }
  if (lpftLastWriteTime) *lpftLastWriteTime = FILETIME{};  // write times are not kept
  return ERROR_SUCCESS;
}

USBAUDIO_END_C
