// Placeholder bodies until the real implementation lands (replace this file).
#include <objbase.h>

USBAUDIO_BEGIN_C

HRESULT WINAPI CoInitialize(LPVOID) {
  SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
  return E_NOTIMPL;
}

HRESULT WINAPI CoInitializeEx(LPVOID, DWORD) {
  SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
  return E_NOTIMPL;
}

void WINAPI CoUninitialize(void) { SetLastError(ERROR_CALL_NOT_IMPLEMENTED); }

LPVOID WINAPI CoTaskMemAlloc(SIZE_T) {
  SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
  return nullptr;
}

void WINAPI CoTaskMemFree(LPVOID) { SetLastError(ERROR_CALL_NOT_IMPLEMENTED); }

HRESULT WINAPI StringFromCLSID(REFCLSID, LPOLESTR *) {
  SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
  return E_NOTIMPL;
}

int WINAPI StringFromGUID2(REFGUID, LPOLESTR, int) {
  SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
  return 0;
}

HRESULT WINAPI CLSIDFromString(LPCOLESTR, LPCLSID) {
  SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
  return E_NOTIMPL;
}

USBAUDIO_END_C
