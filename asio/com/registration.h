// What DllRegisterServer and DllUnregisterServer do to the registry: the
// class key under HKEY_CLASSES_ROOT and the ASIO key under
// HKEY_LOCAL_MACHINE "SOFTWARE\ASIO".
#pragma once

#include "kslib/user_prelude.h"

// Results besides 0 (success); a failing registry operation gives its own
// non-zero code.
enum : LONG {
  kRegisterNoModule = -101,     // GetModuleHandleW of the module failed
  kRegisterNoModulePath = -102, // GetModuleFileNameW gave nothing
  kRegisterNoClsidText = -103,  // StringFromCLSID failed
  kRegisterClsidTooLong = -104, // the identifier text did not fit
};

LONG RegisterAsioDriver(const CLSID& clsid, LPCWSTR moduleName, LPCWSTR friendlyName, LPCWSTR description,
                        LPCWSTR threadingModel);
LONG UnregisterAsioDriver(const CLSID& clsid, LPCWSTR moduleName, LPCWSTR description);

// Deletes `subKey` of `root` with everything below it, deepest keys first.
LONG DeleteRegistryTree(HKEY root, LPCWSTR subKey);
