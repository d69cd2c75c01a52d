// Text helpers shared by the Win32 system stand-ins (UTF-16 without the host
// C library, which would read WCHAR text as 32-bit wchar_t).
#pragma once

#include <windows.h>

#include <cstdarg>
#include <cstddef>
#include <string>

namespace platform {
struct ClientProcess;
ClientProcess* CurrentClientProcess();
}

// Kernel stand-in services used here, declared as in platform/kernel's
// headers (those include <wdm.h>, whose macros clash with <windows.h>).
namespace platform::detail {
bool FormatA(char* dest, size_t cch, const char* format, va_list args);
bool FormatW(WCHAR* dest, size_t cch, const WCHAR* format, va_list args);
bool TraceEnabled();
std::string ClientProcessName(const ClientProcess* process);
}  // namespace platform::detail

namespace platform::win32::detail {

// The lower-case partner of a UTF-16 code unit under simple case folding
// (ASCII, Latin-1, Latin Extended-A/B pairs, Greek, Cyrillic, Armenian,
// Latin Extended Additional, full-width Latin); other units unchanged.
WCHAR FoldCase(WCHAR c);

// True for a code unit FoldCase maps elsewhere (an upper-case letter).
inline bool IsUpperCase(WCHAR c) { return FoldCase(c) != c; }

// UTF-16 (NUL-terminated, may be null) to UTF-8; lone surrogates become U+FFFD.
std::string ToUtf8(const WCHAR* text);
std::string ToUtf8(const WCHAR* text, size_t length);
// UTF-8 to UTF-16 (invalid bytes become U+FFFD).
std::u16string FromUtf8(const std::string& text);

}  // namespace platform::win32::detail
