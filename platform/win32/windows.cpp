// Top-level windows of the host build: a program's dialog with its title,
// its posted-message queue drained by the program's UI thread, its
// visibility and activation record; FindWindowW over every process's
// windows, PostMessageW from any thread of any process, and the end of a
// window's process ending the window.
#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>

#include "platform/kernel/client_process.h"
#include "platform/win32/text_internal.h"
#include "platform/win32/win32_internal.h"
#include "platform/win32/window_host.h"
#include "platform/win32/window_internal.h"

namespace platform::win32 {
namespace {

// The dialog class: what a dialog box's window is made of, by name and by
// its predefined atom.
constexpr char16_t kDialogClass[] = u"#32770";
constexpr ULONG_PTR kDialogAtom = 0x8002;
// A posted-message queue holds at most this many messages, as Windows'
// default USERPostMessageLimit: a poster that outruns the UI thread fails.
constexpr size_t kQueueLimit = 10000;

struct Window {
  HWND handle = nullptr;
  ClientProcess* process = nullptr;
  std::u16string title;
  std::u16string className;
  // Guarded by the windows' lock.
  bool visible = true;
  bool destroyed = false;
  std::deque<WindowMessage> queue;
  std::vector<int> activations;
  size_t waiters = 0;  // threads in TakeWindowMessage's wait
  std::condition_variable arrived;  // a message came or the window went
};

struct Windows {
  std::mutex lock;
  std::map<HWND, std::shared_ptr<Window>> live;
  std::vector<HWND> zOrder;  // top first: the newest or last brought forward
  ULONG_PTR nextHandle = 0x00020024;
};

Windows& TheWindows() {
  static Windows* w = new Windows;
  return *w;
}

// Called with the lock held.
std::shared_ptr<Window> Find(Windows& w, HWND handle) {
  auto it = w.live.find(handle);
  return it == w.live.end() ? nullptr : it->second;
}

void BringToTop(Windows& w, HWND handle) {
  for (auto it = w.zOrder.begin(); it != w.zOrder.end(); ++it) {
    if (*it == handle) {
      w.zOrder.erase(it);
      break;
    }
  }
  w.zOrder.insert(w.zOrder.begin(), handle);
}

// Window names compare as the window manager compares them: whole text,
// case-insensitively.
bool SameTextNoCase(const std::u16string& a, const std::u16string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (detail::FoldCase(a[i]) != detail::FoldCase(b[i])) return false;
  return true;
}

std::u16string Text(LPCWSTR s) {
  std::u16string out;
  for (size_t i = 0; s[i]; ++i) out.push_back(static_cast<char16_t>(s[i]));
  return out;
}

bool ClassMatches(LPCWSTR wanted, const Window& window) {
  if (!wanted) return true;
  const auto value = reinterpret_cast<ULONG_PTR>(wanted);
  if ((value >> 16) == 0)  // MAKEINTATOM
    return value == kDialogAtom && window.className == kDialogClass;
  return SameTextNoCase(Text(wanted), window.className);
}

// The end of a process destroys its windows, then drops its registrations.
void EndProcessWindows(ClientProcess* process) {
  std::vector<HWND> owned;
  {
    Windows& w = TheWindows();
    std::lock_guard<std::mutex> lock(w.lock);
    for (const auto& entry : w.live)
      if (entry.second->process == process) owned.push_back(entry.first);
  }
  for (HWND window : owned) DestroyHostWindow(window);
  detail::EndProcessNotifications(process);
}

void FailInvalidWindow() { SetLastError(ERROR_INVALID_WINDOW_HANDLE); }

}  // namespace

HWND CreateHostWindow(const std::u16string& title) {
  ClientProcess* process = platform::CurrentClientProcess();
  if (!process) return nullptr;
  detail::HookWindowsToProcessEnd();
  auto window = std::make_shared<Window>();
  window->process = process;
  window->title = title;
  window->className = kDialogClass;
  Windows& w = TheWindows();
  std::lock_guard<std::mutex> lock(w.lock);
  window->handle = reinterpret_cast<HWND>(w.nextHandle);
  w.nextHandle += 4;  // never reused: a stale handle stays invalid
  w.live[window->handle] = window;
  w.zOrder.insert(w.zOrder.begin(), window->handle);
  return window->handle;
}

void DestroyHostWindow(HWND handle) {
  {
    Windows& w = TheWindows();
    std::lock_guard<std::mutex> lock(w.lock);
    std::shared_ptr<Window> window = Find(w, handle);
    if (!window) return;
    w.live.erase(handle);
    for (auto it = w.zOrder.begin(); it != w.zOrder.end(); ++it) {
      if (*it == handle) {
        w.zOrder.erase(it);
        break;
      }
    }
    window->destroyed = true;
    window->queue.clear();
    window->arrived.notify_all();
  }
  detail::EndWindowNotifications(handle);
}

bool TakeWindowMessage(HWND handle, WindowMessage* message, DWORD timeoutMs) {
  Windows& w = TheWindows();
  std::unique_lock<std::mutex> lock(w.lock);
  std::shared_ptr<Window> window = Find(w, handle);
  if (!window) return false;
  if (window->queue.empty() && timeoutMs > 0) {
    window->waiters++;
    window->arrived.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                             [&] { return window->destroyed || !window->queue.empty(); });
    window->waiters--;
  }
  if (window->destroyed || window->queue.empty()) return false;
  *message = std::move(window->queue.front());
  window->queue.pop_front();
  if (!message->record.empty()) message->lParam = reinterpret_cast<LPARAM>(message->record.data());
  return true;
}

size_t PendingWindowMessages(HWND handle) {
  Windows& w = TheWindows();
  std::lock_guard<std::mutex> lock(w.lock);
  std::shared_ptr<Window> window = Find(w, handle);
  return window ? window->queue.size() : 0;
}

size_t WindowMessageWaiters(HWND handle) {
  Windows& w = TheWindows();
  std::lock_guard<std::mutex> lock(w.lock);
  std::shared_ptr<Window> window = Find(w, handle);
  return window ? window->waiters : 0;
}

std::vector<int> WindowActivations(HWND handle) {
  Windows& w = TheWindows();
  std::lock_guard<std::mutex> lock(w.lock);
  std::shared_ptr<Window> window = Find(w, handle);
  return window ? window->activations : std::vector<int>{};
}

size_t LiveHostWindows() {
  Windows& w = TheWindows();
  std::lock_guard<std::mutex> lock(w.lock);
  return w.live.size();
}

namespace detail {

bool IsLiveWindow(HWND handle) {
  Windows& w = TheWindows();
  std::lock_guard<std::mutex> lock(w.lock);
  return Find(w, handle) != nullptr;
}

bool QueueWindowMessage(HWND handle, WindowMessage message) {
  Windows& w = TheWindows();
  std::lock_guard<std::mutex> lock(w.lock);
  std::shared_ptr<Window> window = Find(w, handle);
  if (!window || window->queue.size() >= kQueueLimit) return false;
  window->queue.push_back(std::move(message));
  window->arrived.notify_all();
  return true;
}

void HookWindowsToProcessEnd() {
  static std::once_flag hooked;
  std::call_once(hooked, [] { platform::AddProcessEndHook(EndProcessWindows); });
}

}  // namespace detail
}  // namespace platform::win32

using platform::win32::Window;
using platform::win32::Windows;

extern "C" {

BOOL WINAPI PostMessageW(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
  platform::win32::detail::RequireClientProcess("PostMessageW");
  // A null window (the thread's own queue on Windows) and HWND_BROADCAST
  // are not modelled: both fail as an unknown window.
  if (!platform::win32::detail::IsLiveWindow(hWnd)) {
    platform::win32::FailInvalidWindow();
    return FALSE;
  }
  platform::win32::WindowMessage message;
  message.message = Msg;
  message.wParam = wParam;
  message.lParam = lParam;
  if (!platform::win32::detail::QueueWindowMessage(hWnd, std::move(message))) {
    // Gone meanwhile, or the queue is full.
    SetLastError(platform::win32::detail::IsLiveWindow(hWnd) ? ERROR_NOT_ENOUGH_QUOTA : ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  return TRUE;
}

// Top-level windows of every process, top of the Z order first; hidden ones
// count too. No match leaves the last error as it was.
HWND WINAPI FindWindowW(LPCWSTR lpClassName, LPCWSTR lpWindowName) {
  platform::win32::detail::RequireClientProcess("FindWindowW");
  const std::u16string title = lpWindowName ? platform::win32::Text(lpWindowName) : std::u16string();
  Windows& w = platform::win32::TheWindows();
  std::lock_guard<std::mutex> lock(w.lock);
  for (HWND handle : w.zOrder) {
    const Window& window = *w.live.at(handle);
    if (!platform::win32::ClassMatches(lpClassName, window)) continue;
    if (lpWindowName && !platform::win32::SameTextNoCase(title, window.title)) continue;
    return handle;
  }
  return nullptr;
}

BOOL WINAPI IsWindow(HWND hWnd) {
  platform::win32::detail::RequireClientProcess("IsWindow");
  return platform::win32::detail::IsLiveWindow(hWnd) ? TRUE : FALSE;
}

// Returns whether the window was visible before; SW_HIDE hides it, every
// other command shows it (minimised or not).
BOOL WINAPI ShowWindow(HWND hWnd, int nCmdShow) {
  platform::win32::detail::RequireClientProcess("ShowWindow");
  Windows& w = platform::win32::TheWindows();
  std::lock_guard<std::mutex> lock(w.lock);
  std::shared_ptr<Window> window = platform::win32::Find(w, hWnd);
  if (!window) {
    platform::win32::FailInvalidWindow();
    return FALSE;
  }
  const bool wasVisible = window->visible;
  window->visible = nCmdShow != SW_HIDE;
  window->activations.push_back(nCmdShow);
  return wasVisible ? TRUE : FALSE;
}

// The foreground-lock rules (which process may take the foreground) are not
// modelled: the window always comes to the top.
BOOL WINAPI SetForegroundWindow(HWND hWnd) {
  platform::win32::detail::RequireClientProcess("SetForegroundWindow");
  Windows& w = platform::win32::TheWindows();
  std::lock_guard<std::mutex> lock(w.lock);
  std::shared_ptr<Window> window = platform::win32::Find(w, hWnd);
  if (!window) {
    platform::win32::FailInvalidWindow();
    return FALSE;
  }
  window->activations.push_back(-1);
  platform::win32::BringToTop(w, hWnd);
  return TRUE;
}

}  // extern "C"
