// printf-style formatting with the kernel's rules, for narrow and UTF-16
// output: LLP64 integer sizes ('l' is 32-bit; 'll', 'I64' and 'I' are
// 64-bit), %s/%c in the format's own width, %S/%C in the other, %hs/%ls/%ws
// explicit, %Z / %wZ for ANSI_STRING / UNICODE_STRING, %p as 16 hex digits.
// Numbers are rendered by the C library on narrow text only; wide text never
// reaches it.
#include <cstdio>
#include <type_traits>

#include "platform/kernel/internal.h"

namespace {

template <typename Out>
struct Writer {
  Out* dest;
  size_t cap;  // including the terminator
  size_t len = 0;
  bool truncated = false;

  void Put(unsigned c) {
    if (len + 1 < cap) {
      dest[len++] = static_cast<Out>(c);
    } else {
      truncated = true;
    }
  }
  void Finish() { dest[len < cap ? len : cap - 1] = 0; }
};

// Narrow bytes as Latin-1; UTF-16 units above 0xFF become '?' on narrow output.
template <typename Out>
unsigned Convert(unsigned c) {
  if (sizeof(Out) == 1 && c > 0xff) return '?';
  return c;
}

struct Spec {
  bool left = false, plus = false, space = false, alt = false, zero = false;
  int width = -1, precision = -1;
};

template <typename Out, typename Ch>
void PutText(Writer<Out>& w, const Ch* text, size_t n, const Spec& field) {
  if (field.precision >= 0 && n > static_cast<size_t>(field.precision)) n = field.precision;
  size_t pad = field.width > 0 && static_cast<size_t>(field.width) > n ? field.width - n : 0;
  if (!field.left)
    for (size_t i = 0; i < pad; ++i) w.Put(' ');
  for (size_t i = 0; i < n; ++i) w.Put(Convert<Out>(static_cast<unsigned>(static_cast<std::make_unsigned_t<Ch>>(text[i]))));
  if (field.left)
    for (size_t i = 0; i < pad; ++i) w.Put(' ');
}

template <typename Ch>
size_t Length(const Ch* s, int precision) {
  size_t n = 0;
  while ((precision < 0 || n < static_cast<size_t>(precision)) && s[n]) ++n;
  return n;
}

// Renders one numeric conversion through snprintf on narrow text. The
// variadic tail is what "%*.*<length><conversion>" takes: width, precision
// (negative = none), value.
template <typename Out>
void PutNumber(Writer<Out>& w, const Spec& field, const char* length, char conversion, ...) {
  char format[32];
  char* f = format;
  *f++ = '%';
  if (field.left) *f++ = '-';
  if (field.plus) *f++ = '+';
  if (field.space) *f++ = ' ';
  if (field.alt) *f++ = '#';
  if (field.zero) *f++ = '0';
  *f++ = '*';
  *f++ = '.';
  *f++ = '*';
  for (const char* l = length; *l;) *f++ = *l++;
  *f++ = conversion;
  *f = 0;
  char text[512];
  va_list args;
  va_start(args, conversion);
  int n = vsnprintf(text, sizeof text, format, args);
  va_end(args);
  for (int i = 0; i < n && i < static_cast<int>(sizeof text) - 1; ++i) w.Put(static_cast<unsigned char>(text[i]));
}

template <typename Out, typename Ch>
bool Format(Out* dest, size_t cch, const Ch* format, va_list args) {
  Writer<Out> w{dest, cch};
  const bool wideFormat = sizeof(Ch) == 2;
  for (const Ch* p = format; *p; ++p) {
    if (*p != '%') {
      w.Put(Convert<Out>(static_cast<std::make_unsigned_t<Ch>>(*p)));
      continue;
    }
    ++p;
    Spec field;
    for (;; ++p) {
      if (*p == '-') field.left = true;
      else if (*p == '+') field.plus = true;
      else if (*p == ' ') field.space = true;
      else if (*p == '#') field.alt = true;
      else if (*p == '0') field.zero = true;
      else break;
    }
    if (*p == '*') {
      field.width = va_arg(args, int);
      if (field.width < 0) {
        field.left = true;
        field.width = -field.width;
      }
      ++p;
    } else {
      for (field.width = -1; *p >= '0' && *p <= '9'; ++p) field.width = (field.width < 0 ? 0 : field.width * 10) + (*p - '0');
    }
    if (*p == '.') {
      ++p;
      field.precision = 0;
      if (*p == '*') {
        field.precision = va_arg(args, int);
        ++p;
      } else {
        for (; *p >= '0' && *p <= '9'; ++p) field.precision = field.precision * 10 + (*p - '0');
      }
    }
    // Size: 0 default, 8/16/32/64 bits, 'w' wide, 'n' narrow.
    int bits = 0;
    char charWidth = 0;
    if (*p == 'I' && p[1] == '6' && p[2] == '4') {
      bits = 64;
      p += 3;
    } else if (*p == 'I' && p[1] == '3' && p[2] == '2') {
      bits = 32;
      p += 3;
    } else if (*p == 'I' || *p == 'z' || *p == 't' || *p == 'j') {
      bits = 64;
      ++p;
    } else if (*p == 'l' && p[1] == 'l') {
      bits = 64;
      p += 2;
    } else if (*p == 'l' || *p == 'w') {
      bits = 32;
      charWidth = 'w';
      ++p;
    } else if (*p == 'h' && p[1] == 'h') {
      bits = 8;
      p += 2;
    } else if (*p == 'h') {
      bits = 16;
      charWidth = 'n';
      ++p;
    } else if (*p == 'L') {
      bits = 64;
      ++p;
    }
    const Ch conv = *p;
    if (!conv) break;
    switch (conv) {
      case 'd':
      case 'i': {
        long long v = bits == 64 ? va_arg(args, long long) : va_arg(args, int);
        if (bits == 32 || bits == 0) v = static_cast<int>(v);
        if (bits == 16) v = static_cast<short>(v);
        if (bits == 8) v = static_cast<signed char>(v);
        PutNumber(w, field, "ll", 'd', field.width < 0 ? 0 : field.width, field.precision, v);
        break;
      }
      case 'u':
      case 'x':
      case 'X':
      case 'o': {
        unsigned long long v = bits == 64 ? va_arg(args, unsigned long long) : va_arg(args, unsigned);
        if (bits == 16) v = static_cast<unsigned short>(v);
        if (bits == 8) v = static_cast<unsigned char>(v);
        PutNumber(w, field, "ll", static_cast<char>(conv), field.width < 0 ? 0 : field.width, field.precision, v);
        break;
      }
      case 'p': {
        void* v = va_arg(args, void*);
        Spec hex = field;
        hex.zero = true;
        if (hex.width < 16) hex.width = 16;
        PutNumber(w, hex, "ll", 'X', hex.width, hex.precision,
                  static_cast<unsigned long long>(reinterpret_cast<ULONG_PTR>(v)));
        break;
      }
      case 'e':
      case 'E':
      case 'f':
      case 'F':
      case 'g':
      case 'G':
      case 'a':
      case 'A': {
        double v = va_arg(args, double);
        PutNumber(w, field, "", static_cast<char>(conv), field.width < 0 ? 0 : field.width, field.precision, v);
        break;
      }
      case 'c':
      case 'C': {
        bool wide = charWidth ? charWidth == 'w' : ((conv == 'c') == wideFormat);
        unsigned c = static_cast<unsigned>(va_arg(args, int));
        c = wide ? (c & 0xffff) : (c & 0xff);
        Spec one = field;
        one.precision = -1;
        WCHAR text[1] = {static_cast<WCHAR>(c)};
        PutText(w, text, 1, one);
        break;
      }
      case 's':
      case 'S': {
        bool wide = charWidth ? charWidth == 'w' : ((conv == 's') == wideFormat);
        const void* s = va_arg(args, const void*);
        if (!s) {
          PutText(w, "(null)", 6, field);
        } else if (wide) {
          const WCHAR* ws = static_cast<const WCHAR*>(s);
          PutText(w, ws, Length(ws, field.precision), field);
        } else {
          const char* ns = static_cast<const char*>(s);
          PutText(w, ns, Length(ns, field.precision), field);
        }
        break;
      }
      case 'Z': {
        const void* s = va_arg(args, const void*);
        if (!s) {
          PutText(w, "(null)", 6, field);
        } else if (charWidth == 'w') {
          const UNICODE_STRING* us = static_cast<const UNICODE_STRING*>(s);
          PutText(w, us->Buffer ? us->Buffer : L"", us->Buffer ? us->Length / sizeof(WCHAR) : 0, field);
        } else {
          const ANSI_STRING* as = static_cast<const ANSI_STRING*>(s);
          PutText(w, as->Buffer ? as->Buffer : "", as->Buffer ? as->Length : 0, field);
        }
        break;
      }
      case 'n':
        (void)va_arg(args, void*);  // never written: a classic format attack
        break;
      case '%':
        w.Put('%');
        break;
      default:
        w.Put('%');
        w.Put(Convert<Out>(static_cast<std::make_unsigned_t<Ch>>(conv)));
        break;
    }
  }
  w.Finish();
  return !w.truncated;
}

}  // namespace

namespace platform::detail {

bool FormatA(char* dest, size_t cch, const char* format, va_list args) {
  va_list copy;
  va_copy(copy, args);
  bool ok = Format(dest, cch, format, copy);
  va_end(copy);
  return ok;
}

bool FormatW(WCHAR* dest, size_t cch, const WCHAR* format, va_list args) {
  va_list copy;
  va_copy(copy, args);
  bool ok = Format(dest, cch, format, copy);
  va_end(copy);
  return ok;
}

}  // namespace platform::detail
