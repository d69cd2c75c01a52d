// Placeholder: replaced by the registration routines.
#include "asio/com/registration.h"

LONG RegisterAsioDriver(const CLSID&, LPCWSTR, LPCWSTR, LPCWSTR, LPCWSTR) { return kRegisterNoModule; }
LONG UnregisterAsioDriver(const CLSID&, LPCWSTR, LPCWSTR) { return kRegisterNoModule; }
LONG DeleteRegistryTree(HKEY, LPCWSTR) { return ERROR_FILE_NOT_FOUND; }
