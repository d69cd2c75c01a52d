// Shared by the Wine check programs: one "ok:" or "FAIL:" line per check,
// UTF-8 output of wide strings, and a watchdog that names the step a hang
// or a crash happened in. Header only; each program includes it once.
#pragma once

#include <windows.h>

#include <stdarg.h>
#include <stdio.h>

namespace winecheck {

inline const char* volatile g_step = "start";
inline int g_failures = 0;

// `what` is printed as is; the detail (printf format) follows in brackets
// on a failure only.
inline void Check(bool ok, const char* what, const char* detailFormat = nullptr, ...) {
  if (ok) {
    printf("ok: %s\n", what);
  } else {
    ++g_failures;
    printf("FAIL: %s", what);
    if (detailFormat != nullptr) {
      va_list args;
      va_start(args, detailFormat);
      printf(" (");
      vprintf(detailFormat, args);
      printf(")");
      va_end(args);
    }
    printf("\n");
  }
  fflush(stdout);
}

inline void Info(const char* format, ...) {
  va_list args;
  va_start(args, format);
  printf("info: ");
  vprintf(format, args);
  printf("\n");
  va_end(args);
  fflush(stdout);
}

// A wide string as UTF-8 with control characters escaped (\r, \n), for
// messages; the buffer is static, so one use per printf argument list.
struct Utf8 {
  char text[1024];
  explicit Utf8(const wchar_t* wide) {
    wchar_t escaped[512];
    int n = 0;
    for (const wchar_t* p = wide; *p != L'\0' && n < 500; ++p) {
      if (*p == L'\r' || *p == L'\n') {
        escaped[n++] = L'\\';
        escaped[n++] = *p == L'\r' ? L'r' : L'n';
      } else {
        escaped[n++] = *p;
      }
    }
    escaped[n] = L'\0';
    if (WideCharToMultiByte(CP_UTF8, 0, escaped, -1, text, sizeof text, nullptr, nullptr) == 0) text[0] = '\0';
  }
  const char* c() const { return text; }
};

inline LONG WINAPI OnCrash(EXCEPTION_POINTERS* info) {
  printf("FAIL: crashed during \"%s\": exception 0x%08lx at %p\n", g_step,
         static_cast<unsigned long>(info->ExceptionRecord->ExceptionCode), info->ExceptionRecord->ExceptionAddress);
  fflush(stdout);
  ExitProcess(3);
  return EXCEPTION_EXECUTE_HANDLER;
}

inline DWORD g_watchdogMs = 0;
inline DWORD WINAPI Watchdog(void*) {
  Sleep(g_watchdogMs);
  printf("FAIL: no progress for %lu ms during \"%s\"\n", static_cast<unsigned long>(g_watchdogMs), g_step);
  fflush(stdout);
  ExitProcess(4);
  return 0;
}

// Crash reports and a hang limit for the whole program (kept below the
// calling script's own limit, so the report names the step).
inline void Guard(DWORD watchdogMs) {
  SetUnhandledExceptionFilter(OnCrash);
  g_watchdogMs = watchdogMs;
  HANDLE thread = CreateThread(nullptr, 0, Watchdog, nullptr, 0, nullptr);
  if (thread != nullptr) CloseHandle(thread);
}

// The exit status: 0 only when every check passed.
inline int Result() { return g_failures == 0 ? 0 : 1; }

}  // namespace winecheck
