// The shared pieces of the control panel's Wine checks (panel_window.h).
#include "tests/wine/panel_window.h"

#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

namespace panelcheck {

HWND FindPanel() { return FindWindowW(nullptr, kTitle); }

// A message to the program's window, answered by its UI thread (Wine and
// Windows carry WM_GETTEXT, LB_GETTEXT, CB_GETLBTEXT and the RECT of
// CB_GETDROPPEDCONTROLRECT across processes).
LRESULT Ask(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  DWORD_PTR result = 0;
  if (SendMessageTimeoutW(window, message, wParam, lParam, SMTO_ABORTIFHUNG, kMessageTimeoutMs, &result) == 0) {
    Check(false, "the program answers a message", "message 0x%x to window %p: error %lu", message,
          static_cast<void*>(window), GetLastError());
    return -1;
  }
  return static_cast<LRESULT>(result);
}

void WindowText(HWND window, wchar_t* out, int chars) {
  out[0] = L'\0';
  LRESULT n = Ask(window, WM_GETTEXT, chars, reinterpret_cast<LPARAM>(out));
  if (n < 0 || n >= chars) out[0] = L'\0';
}

void ClassName(HWND window, wchar_t* out, int chars) {
  if (GetClassNameW(window, out, chars) == 0) out[0] = L'\0';
}

// A window handle as wait-window prints it (hexadecimal).
HWND ParseWindow(const wchar_t* text) {
  return reinterpret_cast<HWND>(static_cast<UINT_PTR>(wcstoull(text, nullptr, 16)));
}

// Keeps this thread's windows answering while it waits.
void PumpMessages() {
  MSG message;
  while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
}

// Waits for a handle while pumping messages; true when it was signalled.
bool WaitPumping(HANDLE handle, DWORD timeoutMs) {
  DWORD start = GetTickCount();
  for (;;) {
    DWORD elapsed = GetTickCount() - start;
    if (elapsed >= timeoutMs) return false;
    DWORD result = MsgWaitForMultipleObjects(1, &handle, FALSE, timeoutMs - elapsed, QS_ALLINPUT);
    if (result == WAIT_OBJECT_0) return true;
    if (result != WAIT_OBJECT_0 + 1) return false;
    PumpMessages();
  }
}

void CheckText(const char* control, const wchar_t* got, const wchar_t* expected) {
  char what[200];
  snprintf(what, sizeof what, "%s: text \"%s\"", control, Utf8(expected).c());
  Check(wcscmp(got, expected) == 0, what, "it is \"%s\"", Utf8(got).c());
}

}  // namespace panelcheck
