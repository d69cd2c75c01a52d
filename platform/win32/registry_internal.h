// Shared internals of the Win32 registry stand-in (registry_*.cpp): the
// per-process key handles, the predefined roots and the 32-bit view.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "platform/kernel/registry.h"

namespace platform::win32::registry {

// What a handle of the calling process stands for.
struct OpenKey {
  uint64_t keyId = 0;
  std::u16string path;  // the kernel path, as spelled
  ACCESS_MASK access = 0;
};

// The key behind `key` in the calling process: ERROR_INVALID_HANDLE for a
// handle the process does not hold, ERROR_KEY_DELETED when its key is gone.
// A predefined root is created when missing and grants all access.
LSTATUS LookUp(HKEY key, OpenKey* out);
// A new handle of the calling process to the key.
HKEY AddHandle(uint64_t keyId, ACCESS_MASK access);
// Closes the handle; its pending notifications complete (their events are
// signalled). ERROR_INVALID_HANDLE for a handle the process does not hold.
LSTATUS CloseKeyHandle(HKEY key);
// Ties a pending watch to the handle, so closing the handle completes it.
// False when the handle is closed meanwhile (the caller completes it).
bool AddWatch(HKEY key, uint64_t watchId);

// The kernel path of `subKey` below `base` in the view `sam` selects with the
// calling process's bitness: HKLM\SOFTWARE\X becomes
// HKLM\SOFTWARE\WOW6432Node\X (and HKCR\CLSID HKCR\WOW6432Node\CLSID) in the
// 32-bit view. A null or empty subKey names the base key itself.
// ERROR_BAD_PATHNAME for a name starting with a backslash or with an empty
// component.
LSTATUS Resolve(const OpenKey& base, LPCWSTR subKey, REGSAM sam, std::u16string* path);
// True for the keys behind the predefined roots and their parents, which
// RegDeleteKey* refuses.
bool IsRootPath(const std::u16string& path);
// The access a handle opened with `sam` holds (generic rights mapped,
// MAXIMUM_ALLOWED = all, view flags dropped).
ACCESS_MASK GrantedAccess(REGSAM sam);
// ERROR_INVALID_PARAMETER when both view flags are given.
bool ValidView(REGSAM sam);
// The Win32 code of a store result.
LSTATUS ErrorOf(RegistryStatus status);

std::u16string FromWide(LPCWSTR s);

// The kernel path HKEY_CURRENT_USER stands for.
extern const char16_t kCurrentUserPath[];

}  // namespace platform::win32::registry
