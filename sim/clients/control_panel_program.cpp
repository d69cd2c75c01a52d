#include "sim/clients/control_panel_program.h"

#include <algorithm>
#include <atomic>
#include <chrono>

#include <commctrl.h>

#include "asio/settings/settings_table.h"
#include "panel/control_panel_dialog.h"
#include "panel/panel_resources.h"
#include "panel/panel_tables.h"
#include "platform/kernel/client_process.h"
#include "platform/win32/process_host.h"
#include "platform/win32/registry_host.h"
#include "platform/win32/window_host.h"

namespace sim {

// A run's state, shared by its UI thread (which writes it) and the handles.
struct PanelRunShared {
  DWORD processId = 0;
  mutable std::mutex lock;
  std::condition_variable changed;
  bool dialogSeen = false;  // OnInitDialog returned once
  bool ended = false;       // the start routine returned
  bool madeWindow = false;
  PanelAppOutcome outcome = PanelAppOutcome::RanDialog;
  HWND window = nullptr;
  PanelViewModel* view = nullptr;  // while the dialog is open (UI thread's frame)
  PanelRunSnapshot snapshot;
  uint64_t markersPosted = 0;
  uint64_t markerDone = 0;
  bool queueEmptyAtMarker = false;
  // Set when WM_CLOSE could not be posted (a full queue): the loop closes
  // after its current message, so one broken dialog does not outlive its test.
  bool closeAnyway = false;
};

struct PanelProgramShared {
  std::atomic<bool> waitForObjects{false};
  std::mutex lock;
  std::condition_variable changed;
  std::vector<std::shared_ptr<PanelRunShared>> runs;
};

namespace {

using Clock = std::chrono::steady_clock;

// WM_NULL does nothing in a dialog; with this tag it marks a point in the
// queue for WaitIdle.
constexpr WPARAM kMarkerTag = 0x564D;
// The UI thread looks up from an empty queue this often (to notice a
// window destroyed under it); messages wake it at once.
constexpr DWORD kQueueSliceMs = 500;
constexpr DWORD kCloseTimeoutMs = 20000;
// How long a closed dialog's ended threads get to let go of their objects.
constexpr DWORD kThreadsLetGoMs = 2000;

Clock::time_point Deadline(DWORD timeoutMs) { return Clock::now() + std::chrono::milliseconds(timeoutMs); }

std::u16string Title() {
  std::u16string title;
  for (const WCHAR* c = VM_PANEL_TITLE; *c != 0; ++c) title.push_back(static_cast<char16_t>(*c));
  return title;
}

PanelProcessHandles HandlesNow() {
  PanelProcessHandles h;
  platform::ClientProcess* self = platform::CurrentClientProcess();
  h.events = platform::ClientEventHandleCount(self);
  h.registryKeys = platform::win32::OpenRegistryKeyHandles(self);
  h.win32Objects = platform::win32::LiveWin32Objects();
  return h;
}

// The UI thread: after a message (or the initialisation), what the run shows.
void Publish(PanelRunShared& run, const PanelViewModel& view, CAsioControlPanelDlg& dialog, bool open,
             UINT message) {
  PanelDialogState d;
  d.highlightedIndex = dialog.HighlightedIndex();
  d.activeIndex = dialog.ActiveIndex();
  d.rateIndex = dialog.RateIndex();
  d.bitDepthIndex = dialog.BitDepthIndex();
  d.displayedRate = dialog.DisplayedRate();
  d.displayedBitDepth = dialog.DisplayedBitDepth();
  d.displayedFormat = dialog.DisplayedFormat();
  d.watcherThreads = dialog.Watcher().StartedThreads();
  d.deviceNotification = dialog.DeviceNotification() != nullptr;
  d.presenceEvent = dialog.PresenceEvent() != nullptr;
  PanelSnapshot shown = view.Snapshot();
  {
    std::lock_guard<std::mutex> hold(run.lock);
    PanelRunSnapshot& s = run.snapshot;
    s.dialogOpen = open;
    s.view = std::move(shown);
    s.dialog = d;
    switch (message) {
      case WM_NULL:
        break;
      case WM_APP:
        s.refreshes++;
        break;
      case WM_DEVICECHANGE:
        s.deviceChanges++;
        break;
      case WM_HSCROLL:
        s.scrolls++;
        break;
      case WM_COMMAND:
        s.commands++;
        break;
      default:
        break;
    }
    if (message != WM_NULL) s.handled++;
  }
  run.changed.notify_all();
}

// The modal dialog: a top-level window titled as the dialog, the controls
// (a view model), the dialog logic, and the dialog box's loop over the
// window's queue until WM_CLOSE.
void RunDialog(PanelRunShared& run, bool waitForObjects) {
  const HWND window = platform::win32::CreateHostWindow(Title());
  if (window == nullptr) return;
  const PanelProcessHandles before = HandlesNow();
  {
    std::lock_guard<std::mutex> hold(run.lock);
    run.snapshot.beforeDialog = before;
  }
  {
    PanelViewModel view(window);
    CAsioControlPanelDlg dialog(view);
    {
      std::lock_guard<std::mutex> hold(run.lock);
      run.madeWindow = true;
      run.window = window;
    }
    dialog.OnInitDialog();
    {
      std::lock_guard<std::mutex> hold(run.lock);
      run.view = &view;
      run.dialogSeen = true;
    }
    Publish(run, view, dialog, true, WM_NULL);
    for (;;) {
      platform::win32::WindowMessage m;
      if (!platform::win32::TakeWindowMessage(window, &m, kQueueSliceMs)) {
        if (!IsWindow(window)) break;
        m = platform::win32::WindowMessage{};  // WM_NULL: nothing to handle
      }
      bool close = false;
      {
        std::lock_guard<std::mutex> hold(run.lock);
        close = run.closeAnyway;
      }
      switch (m.message) {
        case WM_HSCROLL:
          dialog.OnHScroll(LOWORD(m.wParam), HIWORD(m.wParam));
          break;
        case WM_COMMAND:
          if (LOWORD(m.wParam) == IDC_DEVICE_LIST && HIWORD(m.wParam) == LBN_SELCHANGE) dialog.OnDeviceChoice();
          break;
        case WM_APP:
          dialog.OnRefresh();
          break;
        case WM_DEVICECHANGE:
          dialog.OnDeviceChange(m.wParam, m.lParam);
          break;
        case WM_CLOSE:
          close = true;
          break;
        case WM_NULL:
          if (m.wParam == kMarkerTag) {
            // Only this thread takes from the queue: empty now means every
            // message posted before the marker has been handled.
            const bool empty = platform::win32::PendingWindowMessages(window) == 0;
            std::lock_guard<std::mutex> hold(run.lock);
            run.markerDone = std::max<uint64_t>(run.markerDone, static_cast<uint64_t>(m.lParam));
            run.queueEmptyAtMarker = empty;
          }
          break;
        default:
          break;
      }
      if (close) {
        // EndDialog: the window is destroyed (WM_DESTROY), the messages
        // still queued go with it.
        dialog.OnDestroy();
        {
          std::lock_guard<std::mutex> hold(run.lock);
          run.view = nullptr;
        }
        Publish(run, view, dialog, false, WM_CLOSE);
        platform::win32::DestroyHostWindow(window);
        break;
      }
      Publish(run, view, dialog, true, m.message);
    }
    std::lock_guard<std::mutex> hold(run.lock);
    run.view = nullptr;
    run.snapshot.dialogOpen = false;
  }
  if (waitForObjects) platform::win32::WaitForLiveWin32Objects(before.win32Objects, kThreadsLetGoMs);
  const PanelProcessHandles after = HandlesNow();
  {
    std::lock_guard<std::mutex> hold(run.lock);
    run.snapshot.afterDialog = after;
    run.snapshot.dialogGone = true;
  }
  run.changed.notify_all();
}

DWORD RunProgram(const std::shared_ptr<PanelProgramShared>& program) {
  auto run = std::make_shared<PanelRunShared>();
  run->processId = GetCurrentProcessId();
  {
    std::lock_guard<std::mutex> hold(program->lock);
    program->runs.push_back(run);
  }
  program->changed.notify_all();
  PanelAppHooks hooks;
  const bool waitForObjects = program->waitForObjects.load();
  hooks.runDialog = [&run, waitForObjects] { RunDialog(*run, waitForObjects); };
  const PanelAppOutcome outcome = RunControlPanelApp(hooks);
  {
    std::lock_guard<std::mutex> hold(run->lock);
    run->outcome = outcome;
    run->ended = true;
  }
  run->changed.notify_all();
  return 0;
}

// The setup's record of where the program lives (HKLM, 64-bit view).
void WriteSetupValue(const std::u16string& path) {
  platform::ClientProcess* installer = platform::CreateClientProcess("installer");
  {
    platform::ProcessScope in(installer);
    HKEY key = nullptr;
    DWORD disposition = 0;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, VM_ASIO_SETUP_KEY, 0, nullptr, 0, KEY_WRITE | KEY_WOW64_64KEY, nullptr,
                        &key, &disposition) == ERROR_SUCCESS) {
      RegSetValueExW(key, VM_ASIO_CONTROL_PANEL_VALUE, 0, REG_SZ, reinterpret_cast<const BYTE*>(path.c_str()),
                     static_cast<DWORD>((path.size() + 1) * sizeof(char16_t)));
      RegCloseKey(key);
    }
  }
  platform::EndClientProcess(installer);
}

}  // namespace

PanelRun::PanelRun(std::shared_ptr<PanelRunShared> run, DWORD processId, HANDLE process)
    : run_(std::move(run)), processId_(processId), process_(process) {
  if (process_ != nullptr) owner_ = platform::CurrentClientProcess();
}

PanelRun::~PanelRun() {
  if (process_ != nullptr && platform::CurrentClientProcess() == owner_) CloseHandle(process_);
}

bool PanelRun::WaitForDialog(DWORD timeoutMs) {
  std::unique_lock<std::mutex> hold(run_->lock);
  run_->changed.wait_until(hold, Deadline(timeoutMs), [this] { return run_->dialogSeen || run_->ended; });
  return run_->dialogSeen;
}

bool PanelRun::WaitForEnd(DWORD timeoutMs) {
  const Clock::time_point until = Deadline(timeoutMs);
  {
    std::unique_lock<std::mutex> hold(run_->lock);
    if (!run_->changed.wait_until(hold, until, [this] { return run_->ended; })) return false;
  }
  if (process_ == nullptr || platform::CurrentClientProcess() != owner_) return true;
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
  if (WaitForSingleObject(process_, static_cast<DWORD>(std::max<long long>(left, 0))) != WAIT_OBJECT_0) return false;
  CloseHandle(process_);
  process_ = nullptr;
  return true;
}

bool PanelRun::Ended() const {
  std::lock_guard<std::mutex> hold(run_->lock);
  return run_->ended;
}

PanelAppOutcome PanelRun::Outcome() const {
  std::lock_guard<std::mutex> hold(run_->lock);
  return run_->outcome;
}

bool PanelRun::MadeWindow() const {
  std::lock_guard<std::mutex> hold(run_->lock);
  return run_->madeWindow;
}

HWND PanelRun::Window() const {
  std::lock_guard<std::mutex> hold(run_->lock);
  return run_->window;
}

PanelRunSnapshot PanelRun::Snapshot() const {
  std::lock_guard<std::mutex> hold(run_->lock);
  return run_->snapshot;
}

bool PanelRun::WaitUntil(const std::function<bool(const PanelRunSnapshot&)>& done, DWORD timeoutMs) {
  std::unique_lock<std::mutex> hold(run_->lock);
  return run_->changed.wait_until(hold, Deadline(timeoutMs), [&] { return done(run_->snapshot); });
}

bool PanelRun::WaitIdle(DWORD timeoutMs) {
  const Clock::time_point until = Deadline(timeoutMs);
  for (;;) {
    uint64_t marker = 0;
    {
      std::lock_guard<std::mutex> hold(run_->lock);
      if (run_->view == nullptr) return false;
      marker = ++run_->markersPosted;
      if (!PostMessageW(run_->window, WM_NULL, kMarkerTag, static_cast<LPARAM>(marker))) return false;
    }
    std::unique_lock<std::mutex> hold(run_->lock);
    if (!run_->changed.wait_until(hold, until, [&] { return run_->markerDone >= marker || run_->view == nullptr; }))
      return false;
    if (run_->markerDone < marker) return false;  // closed meanwhile
    if (run_->markerDone == marker && run_->queueEmptyAtMarker) return true;
    if (Clock::now() >= until) return false;
  }
}

bool PanelRun::Post(UINT message, WPARAM wParam, LPARAM lParam) {
  return PostMessageW(run_->window, message, wParam, lParam) != FALSE;
}

bool PanelRun::DragSlider(int position) {
  std::lock_guard<std::mutex> hold(run_->lock);
  if (run_->view == nullptr) return false;
  run_->view->UserMovesSlider(IDC_BUFFER_SLIDER, position);
  const int at = run_->view->SliderPosition(IDC_BUFFER_SLIDER);
  return Post(WM_HSCROLL, MAKEWPARAM(TB_THUMBTRACK, at), 0);
}

bool PanelRun::ReleaseSlider(int position) {
  std::lock_guard<std::mutex> hold(run_->lock);
  if (run_->view == nullptr) return false;
  run_->view->UserMovesSlider(IDC_BUFFER_SLIDER, position);
  const int at = run_->view->SliderPosition(IDC_BUFFER_SLIDER);
  return Post(WM_HSCROLL, MAKEWPARAM(TB_THUMBPOSITION, at), 0) && Post(WM_HSCROLL, MAKEWPARAM(TB_ENDTRACK, 0), 0);
}

bool PanelRun::PressSliderKey(int code) {
  std::lock_guard<std::mutex> hold(run_->lock);
  if (run_->view == nullptr) return false;
  const PanelControlState slider = run_->view->Snapshot().Control(IDC_BUFFER_SLIDER);
  // A trackbar's default page is a fifth of its range.
  const int page = std::max(1, (slider.sliderHigh - slider.sliderLow) / 5);
  int to = slider.sliderPosition;
  switch (code) {
    case TB_LINEUP:
      to -= 1;
      break;
    case TB_LINEDOWN:
      to += 1;
      break;
    case TB_PAGEUP:
      to -= page;
      break;
    case TB_PAGEDOWN:
      to += page;
      break;
    case TB_TOP:
      to = slider.sliderLow;
      break;
    case TB_BOTTOM:
      to = slider.sliderHigh;
      break;
    default:
      return false;
  }
  run_->view->UserMovesSlider(IDC_BUFFER_SLIDER, to);
  return Post(WM_HSCROLL, MAKEWPARAM(code, 0), 0) && Post(WM_HSCROLL, MAKEWPARAM(TB_ENDTRACK, 0), 0);
}

bool PanelRun::PickRow(LONG row) {
  std::lock_guard<std::mutex> hold(run_->lock);
  if (run_->view == nullptr) return false;
  run_->view->UserSelectsRow(IDC_DEVICE_LIST, row);
  return Post(WM_COMMAND, MAKEWPARAM(IDC_DEVICE_LIST, LBN_SELCHANGE), 0);
}

bool PanelRun::Close() {
  std::lock_guard<std::mutex> hold(run_->lock);
  if (run_->view == nullptr) return false;
  return Post(WM_CLOSE, 0, 0);
}

ControlPanelProgram::ControlPanelProgram(const std::u16string& path)
    : path_(path), shared_(std::make_shared<PanelProgramShared>()) {
  std::shared_ptr<PanelProgramShared> shared = shared_;
  platform::win32::RegisterProgram(path_, [shared](const std::u16string&) { return RunProgram(shared); });
  WriteSetupValue(path_);
}

ControlPanelProgram::~ControlPanelProgram() {
  platform::win32::UnregisterProgram(path_);
  std::vector<std::shared_ptr<PanelRunShared>> runs;
  {
    std::lock_guard<std::mutex> hold(shared_->lock);
    runs = shared_->runs;
  }
  // Posting needs a process; a test that already left its own gets one.
  platform::ClientProcess* janitor = nullptr;
  std::unique_ptr<platform::ProcessScope> scope;
  if (platform::CurrentClientProcess() == nullptr) {
    janitor = platform::CreateClientProcess("panel closer");
    scope = std::make_unique<platform::ProcessScope>(janitor);
  }
  for (const std::shared_ptr<PanelRunShared>& run : runs) {
    PanelRun handle(run, run->processId, nullptr);
    if (handle.Ended()) continue;
    handle.WaitForDialog(kCloseTimeoutMs);
    if (!handle.Close()) {
      std::lock_guard<std::mutex> hold(run->lock);
      run->closeAnyway = true;
    }
    handle.WaitForEnd(kCloseTimeoutMs);
  }
  scope.reset();
  if (janitor != nullptr) platform::EndClientProcess(janitor);
}

std::unique_ptr<PanelRun> ControlPanelProgram::Start() {
  STARTUPINFOW startup = {};
  PROCESS_INFORMATION process = {};
  if (!CreateProcessW(reinterpret_cast<LPCWSTR>(path_.c_str()), nullptr, nullptr, nullptr, FALSE,
                      CREATE_NEW_CONSOLE | NORMAL_PRIORITY_CLASS, nullptr, nullptr, &startup, &process))
    return nullptr;
  CloseHandle(process.hThread);
  const DWORD id = process.dwProcessId;
  // The entry registers its run on its own thread: wait for it.
  std::shared_ptr<PanelRunShared> run;
  {
    std::unique_lock<std::mutex> hold(shared_->lock);
    shared_->changed.wait_until(hold, Deadline(kCloseTimeoutMs), [&] {
      for (const auto& r : shared_->runs)
        if (r->processId == id) run = r;
      return run != nullptr;
    });
  }
  if (run == nullptr) {
    CloseHandle(process.hProcess);
    return nullptr;
  }
  return std::unique_ptr<PanelRun>(new PanelRun(run, id, process.hProcess));
}

std::unique_ptr<PanelRun> ControlPanelProgram::WaitForRun(size_t index, DWORD timeoutMs) {
  std::shared_ptr<PanelRunShared> run;
  {
    std::unique_lock<std::mutex> hold(shared_->lock);
    if (!shared_->changed.wait_until(hold, Deadline(timeoutMs), [&] { return shared_->runs.size() > index; }))
      return nullptr;
    run = shared_->runs[index];
  }
  return std::unique_ptr<PanelRun>(new PanelRun(run, run->processId, nullptr));
}

void ControlPanelProgram::CountObjectsAfterDialog(bool wait) { shared_->waitForObjects = wait; }

size_t ControlPanelProgram::Runs() const {
  std::lock_guard<std::mutex> hold(shared_->lock);
  return shared_->runs.size();
}

}  // namespace sim
