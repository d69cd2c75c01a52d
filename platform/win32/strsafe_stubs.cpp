// Placeholder bodies until the real implementation lands (replace this file).
#include <windows.h>
#include <strsafe.h>

USBAUDIO_BEGIN_C

HRESULT StringCchCopyW(LPWSTR, size_t, LPCWSTR) {
  SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
  return E_NOTIMPL;
}

HRESULT StringCchCopyNW(LPWSTR, size_t, LPCWSTR, size_t) {
  SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
  return E_NOTIMPL;
}

HRESULT StringCchCatW(LPWSTR, size_t, LPCWSTR) {
  SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
  return E_NOTIMPL;
}

HRESULT StringCchLengthW(LPCWSTR, size_t, size_t *) {
  SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
  return E_NOTIMPL;
}

HRESULT StringCchPrintfW(LPWSTR, size_t, LPCWSTR, ...) {
  SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
  return E_NOTIMPL;
}

HRESULT StringCchVPrintfW(LPWSTR, size_t, LPCWSTR, va_list) {
  SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
  return E_NOTIMPL;
}

HRESULT StringCbCopyW(LPWSTR, size_t, LPCWSTR) {
  SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
  return E_NOTIMPL;
}

HRESULT StringCchCopyA(LPSTR, size_t, LPCSTR) {
  SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
  return E_NOTIMPL;
}

HRESULT StringCchPrintfA(LPSTR, size_t, LPCSTR, ...) {
  SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
  return E_NOTIMPL;
}

HRESULT StringCchVPrintfA(LPSTR, size_t, LPCSTR, va_list) {
  SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
  return E_NOTIMPL;
}

USBAUDIO_END_C
