// <strsafe.h> (user mode): counted copy, concatenation, length and
// formatting. The contract callers rely on: the destination is always
// terminated when its size is valid; output that does not fit is cut and
// reported as STRSAFE_E_INSUFFICIENT_BUFFER; a size of 0 or above
// STRSAFE_MAX_CCH is STRSAFE_E_INVALID_PARAMETER. Formatting follows the
// Windows conventions of the kernel stand-ins' formatter (in the W forms %s
// is WCHAR text, %hs narrow; 'l' is 32-bit; %I64x, %p as 16 hex digits).
#include <windows.h>
#include <strsafe.h>

#include "platform/win32/text_internal.h"

namespace {

template <typename Ch>
bool ValidDest(const Ch* dest, size_t cch) {
  return dest != nullptr && cch != 0 && cch <= STRSAFE_MAX_CCH;
}

// An invalid size still leaves a terminated destination when there is one.
template <typename Ch>
HRESULT Invalid(Ch* dest, size_t cch) {
  if (dest && cch != 0) *dest = 0;
  return STRSAFE_E_INVALID_PARAMETER;
}

template <typename Ch>
HRESULT CopyN(Ch* dest, size_t cch, const Ch* src, size_t maxCopy) {
  if (!ValidDest(dest, cch)) return dest && cch > STRSAFE_MAX_CCH ? Invalid(dest, cch) : STRSAFE_E_INVALID_PARAMETER;
  if (maxCopy > STRSAFE_MAX_CCH) return Invalid(dest, cch);
  static const Ch empty[1] = {0};
  if (!src) src = empty;
  size_t i = 0;
  while (i + 1 < cch && i < maxCopy && src[i]) {
    dest[i] = src[i];
    ++i;
  }
  dest[i] = 0;
  return (i < maxCopy && src[i]) ? STRSAFE_E_INSUFFICIENT_BUFFER : S_OK;
}

// The destination must already hold a terminated string within cch.
template <typename Ch>
HRESULT Cat(Ch* dest, size_t cch, const Ch* src) {
  if (!ValidDest(dest, cch)) return STRSAFE_E_INVALID_PARAMETER;
  size_t len = 0;
  while (len < cch && dest[len]) ++len;
  if (len == cch) return STRSAFE_E_INVALID_PARAMETER;
  return CopyN(dest + len, cch - len, src, STRSAFE_MAX_CCH);
}

template <typename Ch>
HRESULT Length(const Ch* s, size_t cchMax, size_t* out) {
  size_t n = 0;
  if (s && cchMax != 0 && cchMax <= STRSAFE_MAX_CCH)
    while (n < cchMax && s[n]) ++n;
  if (!s || cchMax == 0 || cchMax > STRSAFE_MAX_CCH || n == cchMax) {
    if (out) *out = 0;
    return STRSAFE_E_INVALID_PARAMETER;
  }
  if (out) *out = n;
  return S_OK;
}

HRESULT PrintA(char* dest, size_t cch, const char* format, va_list args) {
  if (!ValidDest(dest, cch)) return cch > STRSAFE_MAX_CCH ? Invalid(dest, cch) : STRSAFE_E_INVALID_PARAMETER;
  if (!format) return Invalid(dest, cch);
  return platform::detail::FormatA(dest, cch, format, args) ? S_OK : STRSAFE_E_INSUFFICIENT_BUFFER;
}

HRESULT PrintW(WCHAR* dest, size_t cch, const WCHAR* format, va_list args) {
  if (!ValidDest(dest, cch)) return cch > STRSAFE_MAX_CCH ? Invalid(dest, cch) : STRSAFE_E_INVALID_PARAMETER;
  if (!format) return Invalid(dest, cch);
  return platform::detail::FormatW(dest, cch, format, args) ? S_OK : STRSAFE_E_INSUFFICIENT_BUFFER;
}

// A byte size beyond the maximum stays invalid after the division.
size_t CbToCchW(size_t cb) { return cb > STRSAFE_MAX_CCH * sizeof(WCHAR) ? STRSAFE_MAX_CCH + size_t{1} : cb / sizeof(WCHAR); }

}  // namespace

USBAUDIO_BEGIN_C

HRESULT StringCchCopyW(LPWSTR pszDest, size_t cchDest, LPCWSTR pszSrc) { return CopyN(pszDest, cchDest, pszSrc, STRSAFE_MAX_CCH); }

HRESULT StringCchCopyNW(LPWSTR pszDest, size_t cchDest, LPCWSTR pszSrc, size_t cchToCopy) {
  return CopyN(pszDest, cchDest, pszSrc, cchToCopy);
}

HRESULT StringCchCatW(LPWSTR pszDest, size_t cchDest, LPCWSTR pszSrc) { return Cat(pszDest, cchDest, pszSrc); }

HRESULT StringCchLengthW(LPCWSTR psz, size_t cchMax, size_t* pcchLength) { return Length(psz, cchMax, pcchLength); }

HRESULT StringCchVPrintfW(LPWSTR pszDest, size_t cchDest, LPCWSTR pszFormat, va_list argList) {
  return PrintW(pszDest, cchDest, pszFormat, argList);
}

HRESULT StringCchPrintfW(LPWSTR pszDest, size_t cchDest, LPCWSTR pszFormat, ...) {
  va_list args;
  va_start(args, pszFormat);
  HRESULT hr = PrintW(pszDest, cchDest, pszFormat, args);
  va_end(args);
  return hr;
}

HRESULT StringCbCopyW(LPWSTR pszDest, size_t cbDest, LPCWSTR pszSrc) {
  return CopyN(pszDest, CbToCchW(cbDest), pszSrc, STRSAFE_MAX_CCH);
}

HRESULT StringCchCopyA(LPSTR pszDest, size_t cchDest, LPCSTR pszSrc) { return CopyN(pszDest, cchDest, pszSrc, STRSAFE_MAX_CCH); }

HRESULT StringCchCopyNA(LPSTR pszDest, size_t cchDest, LPCSTR pszSrc, size_t cchToCopy) {
  return CopyN(pszDest, cchDest, pszSrc, cchToCopy);
}

HRESULT StringCchCatA(LPSTR pszDest, size_t cchDest, LPCSTR pszSrc) { return Cat(pszDest, cchDest, pszSrc); }

HRESULT StringCchLengthA(LPCSTR psz, size_t cchMax, size_t* pcchLength) { return Length(psz, cchMax, pcchLength); }

HRESULT StringCbCopyA(LPSTR pszDest, size_t cbDest, LPCSTR pszSrc) { return CopyN(pszDest, cbDest, pszSrc, STRSAFE_MAX_CCH); }

HRESULT StringCchVPrintfA(LPSTR pszDest, size_t cchDest, LPCSTR pszFormat, va_list argList) {
  return PrintA(pszDest, cchDest, pszFormat, argList);
}

HRESULT StringCchPrintfA(LPSTR pszDest, size_t cchDest, LPCSTR pszFormat, ...) {
  va_list args;
  va_start(args, pszFormat);
  HRESULT hr = PrintA(pszDest, cchDest, pszFormat, args);
  va_end(args);
  return hr;
}

USBAUDIO_END_C
