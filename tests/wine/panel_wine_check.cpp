// Looks at the running control panel program (vm_usbaudio_cpl.exe) from
// outside, as other programs see it, under Wine: its window, every control
// of the dialog layout, the slider writing "buffer_size", the single-instance
// rule and closing. scripts/run-wine-tests.sh calls one subcommand at a time
// while the program runs:
//
//   panel_wine_check.exe wait-window MS        its window is shown within MS
//   panel_wine_check.exe check-layout SIZE RATE DEPTH
//       title, styles, client size, each control (id, class, style bits,
//       visible/enabled, text, position and size against the dialog-unit
//       layout converted as the dialog manager does); SIZE is the expected
//       buffer size shown, RATE and DEPTH the selected combo texts
//   panel_wine_check.exe page-down             Page Down on the slider writes
//       the next size and signals a running ASIO driver
//   panel_wine_check.exe drag                  dragging the thumb with the
//       mouse moves the label and stores nothing until the button is released
//   panel_wine_check.exe second-start EXE      a second start brings the
//       (minimised) first window forward and ends with status 0
//   panel_wine_check.exe count-windows HWND    exactly one window, HWND
//   panel_wine_check.exe close                 WM_CLOSE ends the program
//
// One "ok:"/"FAIL:" line per check; the exit status is 0 only when all pass.
// check-layout lives in panel_layout_check.cpp, the pieces both use in
// panel_window.*.
#include <windows.h>
#include <commctrl.h>

#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include "tests/wine/panel_window.h"

namespace {

using namespace panelcheck;

// ---- Page Down on the slider ------------------------------------------

bool ReadBufferSize(HKEY key, DWORD* value) {
  DWORD type = 0, bytes = sizeof *value;
  return RegQueryValueExW(key, L"buffer_size", nullptr, &type, reinterpret_cast<BYTE*>(value), &bytes) ==
             ERROR_SUCCESS &&
         type == REG_DWORD && bytes == sizeof *value;
}

int PageDown() {
  winecheck::g_step = "find the slider";
  HWND dialog = FindPanel();
  HWND slider = dialog != nullptr ? GetDlgItem(dialog, 1001) : nullptr;
  Check(slider != nullptr, "the window and its slider exist");
  if (slider == nullptr) return winecheck::Result();
  LRESULT before = Ask(slider, TBM_GETPOS), page = Ask(slider, TBM_GETPAGESIZE), high = Ask(slider, TBM_GETRANGEMAX);
  long after = static_cast<long>(before + page > high ? high : before + page);
  Info("slider at %ld, page size %ld, maximum %ld: Page Down moves it to %ld", static_cast<long>(before),
       static_cast<long>(page), static_cast<long>(high), after);
  Check(after != before, "the slider can move a page");
  printf("expect-buffer-size: %ld\n", after * 32);
  fflush(stdout);

  winecheck::g_step = "watch the settings key";
  HKEY key = nullptr;
  LSTATUS status = RegOpenKeyExW(HKEY_CURRENT_USER, kSettingsKey, 0, KEY_QUERY_VALUE | KEY_NOTIFY | KEY_WOW64_64KEY,
                                 &key);
  Check(status == ERROR_SUCCESS, "the settings key opens", "status %ld", static_cast<long>(status));
  if (status != ERROR_SUCCESS) return winecheck::Result();
  DWORD stored = 0;
  Check(ReadBufferSize(key, &stored) && stored == static_cast<DWORD>(before) * 32,
        "buffer_size before matches the slider", "%lu", static_cast<unsigned long>(stored));
  // As if an ASIO driver ran: its presence event exists, and the change
  // must be signalled on the settings-changed event.
  HANDLE presence = CreateEventW(nullptr, TRUE, TRUE, kPresenceEvent);
  HANDLE changed = CreateEventW(nullptr, FALSE, FALSE, kChangedEvent);
  HANDLE written = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  Check(presence != nullptr && changed != nullptr && written != nullptr, "events for the check");
  if (changed == nullptr || written == nullptr) return winecheck::Result();
  RegNotifyChangeKeyValue(key, FALSE, REG_NOTIFY_CHANGE_LAST_SET, written, TRUE);

  // The key itself, as a user presses it on the focused slider: the real
  // trackbar turns it into WM_HSCROLL TB_PAGEDOWN (and TB_ENDTRACK on the
  // key's release) to the dialog.
  winecheck::g_step = "press Page Down";
  PostMessageW(slider, WM_KEYDOWN, VK_NEXT, 0x01510001);
  PostMessageW(slider, WM_KEYUP, VK_NEXT, 0xC1510001);

  winecheck::g_step = "wait for buffer_size";
  DWORD start = GetTickCount();
  bool reached = false;
  while (!reached) {
    DWORD elapsed = GetTickCount() - start;
    if (elapsed >= kWaitMs || WaitForSingleObject(written, kWaitMs - elapsed) != WAIT_OBJECT_0) break;
    RegNotifyChangeKeyValue(key, FALSE, REG_NOTIFY_CHANGE_LAST_SET, written, TRUE);
    reached = ReadBufferSize(key, &stored) && stored == static_cast<DWORD>(after) * 32;
  }
  char what[160];
  snprintf(what, sizeof what, "Page Down writes buffer_size %ld at once", after * 32);
  Check(reached, what, "buffer_size %lu after %lu ms", static_cast<unsigned long>(stored),
        static_cast<unsigned long>(GetTickCount() - start));
  Check(WaitForSingleObject(changed, kWaitMs) == WAIT_OBJECT_0,
        "the change is signalled to the running ASIO driver (settings-changed event)");
  LRESULT pos = Ask(slider, TBM_GETPOS);
  snprintf(what, sizeof what, "slider at %ld", after);
  Check(pos == after, what, "at %ld", static_cast<long>(pos));
  wchar_t expected[64], got[64];
  swprintf(expected, 64, L"%ld Samples", after * 32);
  WindowText(GetDlgItem(dialog, 1005), got, 64);
  CheckText("buffer size label after Page Down", got, expected);
  RegCloseKey(key);
  return winecheck::Result();
}

// ---- Dragging the slider's thumb ---------------------------------------

// A rectangle the program's trackbar fills in its own address space
// (TBM_GETTHUMBRECT and TBM_GETCHANNELRECT carry a pointer no system
// copies across processes).
bool AskRect(HANDLE process, void* remote, HWND control, UINT message, RECT* out) {
  SIZE_T read = 0;
  Ask(control, message, 0, reinterpret_cast<LPARAM>(remote));
  return ReadProcessMemory(process, remote, out, sizeof *out, &read) && read == sizeof *out;
}

// The mouse, as the user moves it: absolute screen coordinates.
void Mouse(DWORD flags, POINT at) {
  INPUT input = {};
  input.type = INPUT_MOUSE;
  int width = GetSystemMetrics(SM_CXSCREEN), height = GetSystemMetrics(SM_CYSCREEN);
  input.mi.dx = MulDiv(at.x, 65536, width) + 1;
  input.mi.dy = MulDiv(at.y, 65536, height) + 1;
  input.mi.dwFlags = flags | MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE;
  SendInput(1, &input, sizeof input);
}

int Drag() {
  winecheck::g_step = "find the slider";
  HWND dialog = FindPanel();
  HWND slider = dialog != nullptr ? GetDlgItem(dialog, 1001) : nullptr;
  HWND label = dialog != nullptr ? GetDlgItem(dialog, 1005) : nullptr;
  Check(slider != nullptr && label != nullptr, "the window, its slider and its label exist");
  if (slider == nullptr || label == nullptr) return winecheck::Result();
  HKEY key = nullptr;
  LSTATUS status = RegOpenKeyExW(HKEY_CURRENT_USER, kSettingsKey, 0, KEY_QUERY_VALUE | KEY_NOTIFY | KEY_WOW64_64KEY,
                                 &key);
  Check(status == ERROR_SUCCESS, "the settings key opens", "status %ld", static_cast<long>(status));
  if (status != ERROR_SUCCESS) return winecheck::Result();

  winecheck::g_step = "locate the thumb";
  DWORD processId = 0;
  GetWindowThreadProcessId(dialog, &processId);
  HANDLE process = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_QUERY_INFORMATION, FALSE, processId);
  void* remote = process != nullptr ? VirtualAllocEx(process, nullptr, sizeof(RECT), MEM_COMMIT | MEM_RESERVE,
                                                     PAGE_READWRITE)
                                    : nullptr;
  RECT thumb = {}, channel = {};
  bool located = remote != nullptr && AskRect(process, remote, slider, TBM_GETTHUMBRECT, &thumb) &&
                 AskRect(process, remote, slider, TBM_GETCHANNELRECT, &channel);
  if (remote != nullptr) VirtualFreeEx(process, remote, 0, MEM_RELEASE);
  if (process != nullptr) CloseHandle(process);
  Check(located && thumb.right > thumb.left && channel.right > channel.left, "the thumb and the channel are found",
        "error %lu", GetLastError());
  if (!located) return winecheck::Result();
  LRESULT low = Ask(slider, TBM_GETRANGEMIN), high = Ask(slider, TBM_GETRANGEMAX), before = Ask(slider, TBM_GETPOS);
  DWORD stored = 0;
  ReadBufferSize(key, &stored);
  // Twelve positions towards the nearer end's far side, in pixels.
  long steps = before - low >= 12 ? -12 : 12;
  long pixels = MulDiv(steps, channel.right - channel.left, static_cast<int>(high - low));
  POINT grab = {(thumb.left + thumb.right) / 2, (thumb.top + thumb.bottom) / 2};
  ClientToScreen(slider, &grab);
  POINT to = {grab.x + pixels, grab.y};
  Info("slider at %ld, buffer_size %lu; thumb %ld..%ld, channel %ld..%ld; dragging %ld pixels", static_cast<long>(before),
       static_cast<unsigned long>(stored), thumb.left, thumb.right, channel.left, channel.right, pixels);

  winecheck::g_step = "drag the thumb";
  wchar_t labelBefore[64], text[64];
  WindowText(label, labelBefore, 64);
  HANDLE written = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  RegNotifyChangeKeyValue(key, FALSE, REG_NOTIFY_CHANGE_LAST_SET, written, TRUE);
  Mouse(0, grab);
  Mouse(MOUSEEVENTF_LEFTDOWN, grab);
  for (int i = 1; i <= 4; ++i) Mouse(0, POINT{grab.x + pixels * i / 4, grab.y});
  // The label follows the thumb (TB_THUMBTRACK): polled until it shows the
  // slider's position once the moves are handled. By the time the label
  // answers with a new text, the notification that set it is handled, and
  // nothing may be stored yet.
  LRESULT dragged = before;
  wchar_t expected[64];
  bool moved = PollUntil(kWaitMs, [&] {
    WindowText(label, text, 64);
    dragged = Ask(slider, TBM_GETPOS);
    swprintf(expected, 64, L"%ld Samples", static_cast<long>(dragged) * 32);
    return dragged != before && wcscmp(text, expected) == 0;
  });
  Check(moved, "dragging moves the thumb and the label shows its position", "slider at %ld, label \"%s\"",
        static_cast<long>(dragged), Utf8(text).c());
  DWORD during = 0;
  ReadBufferSize(key, &during);
  Check(during == stored, "dragging stores nothing", "buffer_size %lu", static_cast<unsigned long>(during));

  winecheck::g_step = "release the thumb";
  Mouse(MOUSEEVENTF_LEFTUP, to);
  DWORD start = GetTickCount();
  bool reached = false;
  DWORD after = during;
  while (!reached) {
    DWORD elapsed = GetTickCount() - start;
    if (elapsed >= kWaitMs || WaitForSingleObject(written, kWaitMs - elapsed) != WAIT_OBJECT_0) break;
    RegNotifyChangeKeyValue(key, FALSE, REG_NOTIFY_CHANGE_LAST_SET, written, TRUE);
    reached = ReadBufferSize(key, &after) && after == static_cast<DWORD>(dragged) * 32;
  }
  char what[120];
  snprintf(what, sizeof what, "releasing the thumb stores buffer_size %ld", static_cast<long>(dragged) * 32);
  Check(reached, what, "buffer_size %lu", static_cast<unsigned long>(after));
  printf("expect-buffer-size: %ld\n", static_cast<long>(dragged) * 32);
  CloseHandle(written);
  RegCloseKey(key);
  return winecheck::Result();
}

// ---- Single instance, closing ------------------------------------------

struct WindowCount {
  int count;
  HWND windows[8];
};

BOOL CALLBACK CountTitled(HWND window, LPARAM context) {
  auto* found = reinterpret_cast<WindowCount*>(context);
  wchar_t text[128];
  if (GetWindowTextW(window, text, 128) > 0 && wcscmp(text, kTitle) == 0) {
    if (found->count < 8) found->windows[found->count] = window;
    ++found->count;
  }
  return TRUE;
}

void CheckOneWindow(HWND expected) {
  WindowCount found = {};
  EnumWindows(CountTitled, reinterpret_cast<LPARAM>(&found));
  for (int i = 0; i < found.count && i < 8; ++i)
    Info("window 0x%llx titled \"Velmora USB Audio Driver\"",
         static_cast<unsigned long long>(reinterpret_cast<UINT_PTR>(found.windows[i])));
  Check(found.count == 1, "exactly one window titled \"Velmora USB Audio Driver\"", "%d", found.count);
  Check(found.count >= 1 && found.windows[0] == expected, "it is the first program's window");
}

int CountWindows(HWND expected) {
  winecheck::g_step = "count windows";
  CheckOneWindow(expected);
  return winecheck::Result();
}

int SecondStart(const wchar_t* exe) {
  winecheck::g_step = "find the first window";
  HWND first = FindPanel();
  Check(first != nullptr, "the first program's window exists");
  if (first == nullptr) return winecheck::Result();
  DWORD firstProcess = 0;
  GetWindowThreadProcessId(first, &firstProcess);

  // The first window minimised and another window in front: the second
  // start must show it normally and bring it forward.
  winecheck::g_step = "minimise the first window";
  ShowWindow(first, SW_MINIMIZE);
  Check(PollUntil(kWaitMs, [&] { return IsIconic(first) != FALSE; }), "the first window can be minimised");
  winecheck::g_step = "a window of ours in front";
  HWND mine = CreateWindowExW(WS_EX_TOPMOST, L"STATIC", L"panel_wine_check foreground", WS_POPUP | WS_VISIBLE, 0, 0,
                              64, 64, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
  SetForegroundWindow(mine);
  bool ours = PollUntil(kWaitMs, [&] { return GetForegroundWindow() == mine; });
  Check(ours, "a window of this program is in the foreground before the second start");

  winecheck::g_step = "second start";
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  DWORD start = GetTickCount();
  BOOL created = CreateProcessW(exe, nullptr, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process);
  Check(created != FALSE, "the second program starts", "CreateProcessW error %lu", GetLastError());
  if (!created) return winecheck::Result();
  bool ended = WaitPumping(process.hProcess, kWaitMs);
  DWORD took = GetTickCount() - start;
  DWORD status = STILL_ACTIVE;
  GetExitCodeProcess(process.hProcess, &status);
  Info("the second program ran %lu ms", static_cast<unsigned long>(took));
  Check(ended, "the second program ends on its own");
  Check(ended && status == 0, "the second program ends with status 0", "status 0x%lx",
        static_cast<unsigned long>(status));
  if (!ended) TerminateProcess(process.hProcess, 1);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);

  winecheck::g_step = "the first window comes forward";
  Check(PollUntil(kWaitMs, [&] { return IsIconic(first) == FALSE && IsWindowVisible(first) != FALSE; }),
        "the first window is shown normally again (not minimised)");
  Check(PollUntil(kWaitMs, [&] { return GetForegroundWindow() == first; }), "the first window is in the foreground",
        "foreground %p", static_cast<void*>(GetForegroundWindow()));
  DWORD stillProcess = 0;
  GetWindowThreadProcessId(first, &stillProcess);
  Check(IsWindow(first) && stillProcess == firstProcess, "the first program still runs its window");
  CheckOneWindow(first);
  DestroyWindow(mine);
  return winecheck::Result();
}

int Close() {
  winecheck::g_step = "find the window";
  HWND window = FindPanel();
  Check(window != nullptr, "the window exists");
  if (window == nullptr) return winecheck::Result();
  DWORD processId = 0;
  GetWindowThreadProcessId(window, &processId);
  HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId);
  Check(process != nullptr, "the program's process opens", "error %lu", GetLastError());
  if (process == nullptr) return winecheck::Result();
  winecheck::g_step = "WM_CLOSE";
  PostMessageW(window, WM_CLOSE, 0, 0);
  bool ended = WaitForSingleObject(process, kWaitMs) == WAIT_OBJECT_0;
  DWORD status = STILL_ACTIVE;
  GetExitCodeProcess(process, &status);
  CloseHandle(process);
  Check(ended, "WM_CLOSE closes the dialog and the program ends (its watcher threads stop)");
  Check(ended && status == 0, "the program ends with status 0", "status 0x%lx", static_cast<unsigned long>(status));
  Check(!IsWindow(window), "the window is gone");
  return winecheck::Result();
}

int WaitWindow(DWORD timeoutMs) {
  winecheck::g_step = "wait for the window";
  HWND window = nullptr;
  DWORD start = GetTickCount();
  bool shown = PollUntil(timeoutMs, [&] {
    window = FindPanel();
    return window != nullptr && IsWindowVisible(window);
  });
  char what[120];
  snprintf(what, sizeof what, "the window \"Velmora USB Audio Driver\" is shown within %lu ms",
           static_cast<unsigned long>(timeoutMs));
  Check(shown, what);
  if (shown) {
    DWORD processId = 0;
    GetWindowThreadProcessId(window, &processId);
    Info("shown after %lu ms, process %lu", static_cast<unsigned long>(GetTickCount() - start),
         static_cast<unsigned long>(processId));
    printf("window: 0x%llx\n", static_cast<unsigned long long>(reinterpret_cast<UINT_PTR>(window)));
  }
  return winecheck::Result();
}

int Usage() {
  printf("usage: panel_wine_check.exe wait-window MS | check-layout SIZE RATE DEPTH | page-down | drag |\n"
         "       second-start EXE | count-windows HWND | close\n");
  return 2;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  winecheck::Guard(50000);
  if (argc < 2) return Usage();
  const wchar_t* command = argv[1];
  if (wcscmp(command, L"wait-window") == 0 && argc == 3) return WaitWindow(wcstoul(argv[2], nullptr, 10));
  if (wcscmp(command, L"check-layout") == 0 && argc == 5) return CheckLayout(wcstol(argv[2], nullptr, 10), argv[3], argv[4]);
  if (wcscmp(command, L"page-down") == 0 && argc == 2) return PageDown();
  if (wcscmp(command, L"drag") == 0 && argc == 2) return Drag();
  if (wcscmp(command, L"second-start") == 0 && argc == 3) return SecondStart(argv[2]);
  if (wcscmp(command, L"count-windows") == 0 && argc == 3) return CountWindows(ParseWindow(argv[2]));
  if (wcscmp(command, L"close") == 0 && argc == 2) return Close();
  return Usage();
}
