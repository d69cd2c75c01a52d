// The running control panel program as the Wine checks reach it from
// another process: its title and settings names, messages its UI thread
// answers, waiting while this thread's own windows keep answering. Shared by
// panel_wine_check.cpp (the subcommands) and panel_layout_check.cpp (the
// layout against the dialog-unit table).
#pragma once

#include <windows.h>

#include "tests/wine/wine_check.h"

namespace panelcheck {

using winecheck::Check;
using winecheck::Info;
using winecheck::Utf8;

const wchar_t kTitle[] = L"Velmora USB Audio Driver";
const wchar_t kSettingsKey[] = L"SOFTWARE\\Velmora\\Velmora ASIO Device";
// A running ASIO driver's presence event and the settings-changed event it
// waits on.
const wchar_t kPresenceEvent[] = L"{1a23b247-c9cf-43f5-a7ae-6b1ff4bdb52a}0";
const wchar_t kChangedEvent[] = L"{1a23b247-c9cf-43f5-a7ae-6b1ff4bdb52a}1";
const DWORD kMessageTimeoutMs = 5000;
const DWORD kWaitMs = 15000;  // generous: a busy 2-core runner under Wine

HWND FindPanel();
// A message to the program's window, answered by its UI thread; -1 (and a
// failed check) when it does not answer in time.
LRESULT Ask(HWND window, UINT message, WPARAM wParam = 0, LPARAM lParam = 0);
void WindowText(HWND window, wchar_t* out, int chars);
void ClassName(HWND window, wchar_t* out, int chars);
// A window handle as wait-window prints it (hexadecimal).
HWND ParseWindow(const wchar_t* text);
// One check: `control`'s text is `expected`.
void CheckText(const char* control, const wchar_t* got, const wchar_t* expected);
// Keeps this thread's windows answering while it waits.
void PumpMessages();
// Waits for a handle while pumping messages; true when it was signalled.
bool WaitPumping(HANDLE handle, DWORD timeoutMs);

// Polls a condition about another process's window (nothing signals it)
// until it holds or `timeoutMs` passes; true when it held.
template <typename Condition>
inline bool PollUntil(DWORD timeoutMs, Condition condition) {
  DWORD start = GetTickCount();
  for (;;) {
    PumpMessages();
    if (condition()) return true;
    if (GetTickCount() - start >= timeoutMs) return false;
    Sleep(20);
  }
}

// check-layout: title, styles, client size and every control of the
// layout (panel_layout_check.cpp).
int CheckLayout(long expectedBufferSize, const wchar_t* expectedRate, const wchar_t* expectedDepth);

}  // namespace panelcheck
