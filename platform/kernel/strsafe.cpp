// <ntstrsafe.h>: bounded copy, concatenation, length and formatting.
#include <ntstrsafe.h>

#include "platform/kernel/internal.h"

namespace {

template <typename Ch>
bool ValidCch(Ch* dest, size_t cch) {
  return dest != NULL && cch != 0 && cch <= NTSTRSAFE_MAX_CCH;
}

template <typename Ch>
NTSTATUS CopyN(Ch* dest, size_t cch, const Ch* src, size_t maxCopy) {
  if (!ValidCch(dest, cch) || maxCopy > NTSTRSAFE_MAX_CCH) return STATUS_INVALID_PARAMETER;
  static const Ch empty[1] = {0};
  if (!src) src = empty;
  size_t i = 0;
  while (i + 1 < cch && i < maxCopy && src[i]) {
    dest[i] = src[i];
    ++i;
  }
  dest[i] = 0;
  return (i < maxCopy && src[i]) ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

template <typename Ch>
NTSTATUS Cat(Ch* dest, size_t cch, const Ch* src) {
  if (!ValidCch(dest, cch)) return STATUS_INVALID_PARAMETER;
  size_t len = 0;
  while (len < cch && dest[len]) ++len;
  if (len == cch) return STATUS_INVALID_PARAMETER;  // destination not terminated
  return CopyN(dest + len, cch - len, src, NTSTRSAFE_MAX_CCH);
}

template <typename Ch>
NTSTATUS Length(const Ch* s, size_t cchMax, size_t* out) {
  if (!s || cchMax == 0 || cchMax > NTSTRSAFE_MAX_CCH) {
    if (out) *out = 0;
    return STATUS_INVALID_PARAMETER;
  }
  size_t n = 0;
  while (n < cchMax && s[n]) ++n;
  if (n == cchMax) {
    if (out) *out = 0;
    return STATUS_INVALID_PARAMETER;
  }
  if (out) *out = n;
  return STATUS_SUCCESS;
}

NTSTATUS PrintA(char* dest, size_t cch, const char* format, va_list args) {
  if (!ValidCch(dest, cch)) return STATUS_INVALID_PARAMETER;
  if (!format) {
    *dest = 0;
    return STATUS_INVALID_PARAMETER;
  }
  return platform::detail::FormatA(dest, cch, format, args) ? STATUS_SUCCESS : STATUS_BUFFER_OVERFLOW;
}

NTSTATUS PrintW(WCHAR* dest, size_t cch, const WCHAR* format, va_list args) {
  if (!ValidCch(dest, cch)) return STATUS_INVALID_PARAMETER;
  if (!format) {
    *dest = 0;
    return STATUS_INVALID_PARAMETER;
  }
  return platform::detail::FormatW(dest, cch, format, args) ? STATUS_SUCCESS : STATUS_BUFFER_OVERFLOW;
}

// Byte counts to character counts; sizes beyond the maximum stay invalid.
size_t CbToCchA(size_t cb) { return cb; }
size_t CbToCchW(size_t cb) { return cb > NTSTRSAFE_MAX_CCH * sizeof(WCHAR) ? NTSTRSAFE_MAX_CCH + size_t{1} : cb / sizeof(WCHAR); }

}  // namespace

extern "C" {

NTSTATUS NTAPI RtlStringCchCopyA(NTSTRSAFE_PSTR d, size_t cch, NTSTRSAFE_PCSTR s) { return CopyN(d, cch, s, NTSTRSAFE_MAX_CCH); }
NTSTATUS NTAPI RtlStringCchCopyW(NTSTRSAFE_PWSTR d, size_t cch, NTSTRSAFE_PCWSTR s) { return CopyN(d, cch, s, NTSTRSAFE_MAX_CCH); }
NTSTATUS NTAPI RtlStringCbCopyA(NTSTRSAFE_PSTR d, size_t cb, NTSTRSAFE_PCSTR s) { return CopyN(d, CbToCchA(cb), s, NTSTRSAFE_MAX_CCH); }
NTSTATUS NTAPI RtlStringCbCopyW(NTSTRSAFE_PWSTR d, size_t cb, NTSTRSAFE_PCWSTR s) { return CopyN(d, CbToCchW(cb), s, NTSTRSAFE_MAX_CCH); }
NTSTATUS NTAPI RtlStringCchCopyNA(NTSTRSAFE_PSTR d, size_t cch, NTSTRSAFE_PCSTR s, size_t n) { return CopyN(d, cch, s, n); }
NTSTATUS NTAPI RtlStringCchCopyNW(NTSTRSAFE_PWSTR d, size_t cch, NTSTRSAFE_PCWSTR s, size_t n) { return CopyN(d, cch, s, n); }
NTSTATUS NTAPI RtlStringCchCatA(NTSTRSAFE_PSTR d, size_t cch, NTSTRSAFE_PCSTR s) { return Cat(d, cch, s); }
NTSTATUS NTAPI RtlStringCchCatW(NTSTRSAFE_PWSTR d, size_t cch, NTSTRSAFE_PCWSTR s) { return Cat(d, cch, s); }
NTSTATUS NTAPI RtlStringCbCatA(NTSTRSAFE_PSTR d, size_t cb, NTSTRSAFE_PCSTR s) { return Cat(d, CbToCchA(cb), s); }
NTSTATUS NTAPI RtlStringCbCatW(NTSTRSAFE_PWSTR d, size_t cb, NTSTRSAFE_PCWSTR s) { return Cat(d, CbToCchW(cb), s); }
NTSTATUS NTAPI RtlStringCchLengthA(NTSTRSAFE_PCSTR s, size_t max, size_t* n) { return Length(s, max, n); }
NTSTATUS NTAPI RtlStringCchLengthW(NTSTRSAFE_PCWSTR s, size_t max, size_t* n) { return Length(s, max, n); }

NTSTATUS NTAPI RtlStringCbLengthA(NTSTRSAFE_PCSTR s, size_t cbMax, size_t* cb) { return Length(s, CbToCchA(cbMax), cb); }

NTSTATUS NTAPI RtlStringCbLengthW(NTSTRSAFE_PCWSTR s, size_t cbMax, size_t* cb) {
  NTSTATUS status = Length(s, CbToCchW(cbMax), cb);
  if (cb) *cb *= sizeof(WCHAR);
  return status;
}

NTSTATUS NTAPI RtlStringCchVPrintfA(NTSTRSAFE_PSTR d, size_t cch, NTSTRSAFE_PCSTR f, va_list a) { return PrintA(d, cch, f, a); }
NTSTATUS NTAPI RtlStringCchVPrintfW(NTSTRSAFE_PWSTR d, size_t cch, NTSTRSAFE_PCWSTR f, va_list a) { return PrintW(d, cch, f, a); }
NTSTATUS NTAPI RtlStringCbVPrintfA(NTSTRSAFE_PSTR d, size_t cb, NTSTRSAFE_PCSTR f, va_list a) { return PrintA(d, CbToCchA(cb), f, a); }
NTSTATUS NTAPI RtlStringCbVPrintfW(NTSTRSAFE_PWSTR d, size_t cb, NTSTRSAFE_PCWSTR f, va_list a) { return PrintW(d, CbToCchW(cb), f, a); }

#define USBAUDIO_PRINTF(name, impl, Ch, conv)        \
  NTSTATUS __cdecl name(Ch* d, size_t n, const Ch* f, ...) { \
    va_list a;                                       \
    va_start(a, f);                                  \
    NTSTATUS status = impl(d, conv(n), f, a);        \
    va_end(a);                                       \
    return status;                                   \
  }
#define USBAUDIO_SAME(n) (n)
USBAUDIO_PRINTF(RtlStringCchPrintfA, PrintA, char, USBAUDIO_SAME)
USBAUDIO_PRINTF(RtlStringCchPrintfW, PrintW, WCHAR, USBAUDIO_SAME)
USBAUDIO_PRINTF(RtlStringCbPrintfA, PrintA, char, CbToCchA)
USBAUDIO_PRINTF(RtlStringCbPrintfW, PrintW, WCHAR, CbToCchW)

}  // extern "C"
