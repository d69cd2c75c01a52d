// <winbase.h> string helpers (lstrlenW, lstrcmpW, lstrcmpiW, lstrcpynW),
// LocalAlloc / LocalFree, and the UTF-16 text helpers of this folder.
//
// Ordering: Windows compares with the user locale's word sort; here two
// strings compare by their case-folded UTF-16 code units (a shorter prefix
// first), and lstrcmpW breaks a tie of folded strings at the first unit
// that differs, lower case first ("a" < "A" < "b"), as the linguistic sort
// does. Results are -1, 0 or 1, antisymmetric and transitive.
#include <cstdlib>
#include <cstring>

#include "platform/win32/text_internal.h"

namespace platform::win32::detail {

namespace {

bool In(unsigned c, unsigned first, unsigned last) { return c >= first && c <= last; }

// Ranges where upper and lower case alternate: the upper-case unit has the
// given parity, its lower-case partner follows it.
bool AlternatingUpper(unsigned c, unsigned first, unsigned last) { return In(c, first, last) && ((c - first) % 2 == 0); }

}  // namespace

WCHAR FoldCase(WCHAR ch) {
  const unsigned c = static_cast<unsigned short>(ch);
  if (c < 0x80) return static_cast<WCHAR>(In(c, 'A', 'Z') ? c + 32 : c);
  if (In(c, 0xC0, 0xDE) && c != 0xD7) return static_cast<WCHAR>(c + 32);
  if (c < 0x100) return ch;
  if (c == 0x130) return L'i';
  if (c == 0x178) return static_cast<WCHAR>(0xFF);
  if (AlternatingUpper(c, 0x100, 0x12F) || AlternatingUpper(c, 0x132, 0x137) || AlternatingUpper(c, 0x139, 0x148) ||
      AlternatingUpper(c, 0x14A, 0x177) || AlternatingUpper(c, 0x179, 0x17E) || AlternatingUpper(c, 0x1CD, 0x1DC) ||
      AlternatingUpper(c, 0x1DE, 0x1EF) || AlternatingUpper(c, 0x1F8, 0x21F) || AlternatingUpper(c, 0x222, 0x233) ||
      AlternatingUpper(c, 0x3D8, 0x3EF) || AlternatingUpper(c, 0x460, 0x481) || AlternatingUpper(c, 0x48A, 0x4BF) ||
      AlternatingUpper(c, 0x4C1, 0x4CE) || AlternatingUpper(c, 0x4D0, 0x52F) || AlternatingUpper(c, 0x1E00, 0x1E95) ||
      AlternatingUpper(c, 0x1EA0, 0x1EFF))
    return static_cast<WCHAR>(c + 1);
  if (c == 0x386) return static_cast<WCHAR>(0x3AC);
  if (In(c, 0x388, 0x38A)) return static_cast<WCHAR>(c + 37);
  if (c == 0x38C) return static_cast<WCHAR>(0x3CC);
  if (In(c, 0x38E, 0x38F)) return static_cast<WCHAR>(c + 63);
  if (In(c, 0x391, 0x3AB) && c != 0x3A2) return static_cast<WCHAR>(c + 32);
  if (In(c, 0x400, 0x40F)) return static_cast<WCHAR>(c + 80);
  if (In(c, 0x410, 0x42F)) return static_cast<WCHAR>(c + 32);
  if (c == 0x4C0) return static_cast<WCHAR>(0x4CF);
  if (In(c, 0x531, 0x556)) return static_cast<WCHAR>(c + 48);
  if (c == 0x1E9E) return static_cast<WCHAR>(0xDF);
  if (In(c, 0x2160, 0x216F)) return static_cast<WCHAR>(c + 16);
  if (In(c, 0x24B6, 0x24CF)) return static_cast<WCHAR>(c + 26);
  if (In(c, 0xFF21, 0xFF3A)) return static_cast<WCHAR>(c + 32);
  return ch;
}

std::string ToUtf8(const WCHAR* text, size_t length) {
  std::string out;
  out.reserve(length);
  for (size_t i = 0; i < length; ++i) {
    unsigned c = static_cast<unsigned short>(text[i]);
    if (In(c, 0xD800, 0xDBFF) && i + 1 < length && In(static_cast<unsigned short>(text[i + 1]), 0xDC00, 0xDFFF)) {
      c = 0x10000 + ((c - 0xD800) << 10) + (static_cast<unsigned short>(text[i + 1]) - 0xDC00);
      ++i;
    } else if (In(c, 0xD800, 0xDFFF)) {
      c = 0xFFFD;
    }
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

std::string ToUtf8(const WCHAR* text) {
  if (!text) return std::string();
  size_t n = 0;
  while (text[n]) ++n;
  return ToUtf8(text, n);
}

std::u16string FromUtf8(const std::string& text) {
  std::u16string out;
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  const size_t n = text.size();
  for (size_t i = 0; i < n;) {
    unsigned c = s[i];
    const size_t extra = c < 0x80 ? 0 : (c >> 5) == 6 ? 1 : (c >> 4) == 14 ? 2 : (c >> 3) == 30 ? 3 : 4;
    if (extra == 4 || i + extra >= n) {
      out += u'\xFFFD';
      ++i;
      continue;
    }
    unsigned value = extra == 0 ? c : extra == 1 ? (c & 0x1F) : extra == 2 ? (c & 0x0F) : (c & 0x07);
    bool valid = true;
    for (size_t k = 1; k <= extra; ++k) {
      if ((s[i + k] & 0xC0) != 0x80) {
        valid = false;
        break;
      }
      value = (value << 6) | (s[i + k] & 0x3F);
    }
    if (!valid || value > 0x10FFFF) {
      out += u'\xFFFD';
      ++i;
      continue;
    }
    i += extra + 1;
    if (value >= 0x10000) {
      value -= 0x10000;
      out += static_cast<char16_t>(0xD800 + (value >> 10));
      out += static_cast<char16_t>(0xDC00 + (value & 0x3FF));
    } else {
      out += static_cast<char16_t>(value);
    }
  }
  return out;
}

}  // namespace platform::win32::detail

namespace {

using platform::win32::detail::FoldCase;

int Sign(int v) { return v < 0 ? -1 : v > 0 ? 1 : 0; }

// Folded comparison; *tieBreak receives the case order at the first unit
// that differs only in case (lower case first), 0 when none does.
int CompareFolded(LPCWSTR a, LPCWSTR b, int* tieBreak) {
  *tieBreak = 0;
  for (size_t i = 0;; ++i) {
    const WCHAR ca = a[i];
    const WCHAR cb = b[i];
    const int fa = static_cast<unsigned short>(FoldCase(ca));
    const int fb = static_cast<unsigned short>(FoldCase(cb));
    if (fa != fb) return Sign(fa - fb);
    if (ca == 0) return 0;
    if (ca != cb && *tieBreak == 0) *tieBreak = platform::win32::detail::IsUpperCase(ca) ? 1 : -1;
  }
}

}  // namespace

USBAUDIO_BEGIN_C

int WINAPI lstrlenW(LPCWSTR lpString) {
  if (!lpString) return 0;
  int n = 0;
  while (lpString[n]) ++n;
  return n;
}

// A null string sorts before every other string, two nulls are equal.
int WINAPI lstrcmpW(LPCWSTR lpString1, LPCWSTR lpString2) {
  if (!lpString1 || !lpString2) return lpString1 ? 1 : lpString2 ? -1 : 0;
  int tieBreak = 0;
  int primary = CompareFolded(lpString1, lpString2, &tieBreak);
  return primary != 0 ? primary : tieBreak;
}

int WINAPI lstrcmpiW(LPCWSTR lpString1, LPCWSTR lpString2) {
  if (!lpString1 || !lpString2) return lpString1 ? 1 : lpString2 ? -1 : 0;
  int tieBreak = 0;
  return CompareFolded(lpString1, lpString2, &tieBreak);
}

// Copies at most iMaxLength - 1 units and always terminates (for a positive
// iMaxLength); nothing is written for 0 or a negative length.
LPWSTR WINAPI lstrcpynW(LPWSTR lpString1, LPCWSTR lpString2, int iMaxLength) {
  if (!lpString1 || iMaxLength <= 0) return lpString1;
  int i = 0;
  if (lpString2)
    for (; i + 1 < iMaxLength && lpString2[i]; ++i) lpString1[i] = lpString2[i];
  lpString1[i] = 0;
  return lpString1;
}

// Fixed memory only (LMEM_FIXED, optionally LMEM_ZEROINIT); a zero-byte
// request still yields a distinct block, as on Windows.
HLOCAL WINAPI LocalAlloc(UINT uFlags, SIZE_T uBytes) {
  if ((uFlags & ~static_cast<UINT>(LMEM_ZEROINIT)) != LMEM_FIXED) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  const size_t bytes = uBytes ? uBytes : 1;
  void* block = (uFlags & LMEM_ZEROINIT) ? calloc(1, bytes) : malloc(bytes);
  if (!block) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return block;
}

HLOCAL WINAPI LocalFree(HLOCAL hMem) {
  free(hMem);
  return nullptr;
}

USBAUDIO_END_C
