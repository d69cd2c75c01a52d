// The control panel program (vm_usbaudio_cpl.exe) on the simulated machine:
// installed at its Windows path so that CreateProcessW runs it (as the
// Control Panel applet and the ASIO driver's controlPanel start it), with
// the setup's "ControlPanel" value naming it. Each run is the real start
// routine (RunControlPanelApp) whose modal dialog is a host window with a
// PanelViewModel and the real dialog logic, driven by the window's queue on
// the program's UI thread, as a dialog box's message loop drives it.
//
// Tests and tools reach a run through PanelRun: what it shows (published by
// its UI thread after every message it handled), what a user does (the
// control changes first, then the notification the control would send), and
// waits on counters (never on time): the dialog initialised, a number of
// messages of a kind handled, everything posted so far handled, the
// process ended.
#pragma once

#include "kslib/user_prelude.h"

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "panel/control_panel_app.h"
#include "sim/clients/panel_view_model.h"

namespace platform {
struct ClientProcess;
}

namespace sim {

// Where the installer puts the program.
constexpr char16_t kControlPanelProgramPath[] = u"C:\\Program Files\\Velmora\\vm_usbaudio_cpl.exe";

// The dialog's own state (what the list draws heavy, the combo rows, the
// watcher), copied by the UI thread after each message.
struct PanelDialogState {
  LONG highlightedIndex = -1;
  LONG activeIndex = -1;  // the row drawn in heavy type
  LONG rateIndex = -1;
  LONG bitDepthIndex = -1;
  DWORD displayedRate = 0;
  DWORD displayedBitDepth = 0;
  BYTE displayedFormat = 0;
  ULONG watcherThreads = 0;         // started and not stopped
  bool deviceNotification = false;  // registered for device-interface changes
  bool presenceEvent = false;       // the event both programs hold is open
};

// What the program's process holds (its own handles) and the Win32
// objects alive in every process.
struct PanelProcessHandles {
  size_t events = 0;
  size_t registryKeys = 0;
  size_t win32Objects = 0;  // threads, mutexes, processes: all processes
};

// One run as of the last message its dialog handled.
struct PanelRunSnapshot {
  bool dialogOpen = false;  // initialised and not yet closed
  bool dialogGone = false;  // the dialog object destroyed after its close
  // Just before the dialog object was made, and just after it was
  // destroyed (with CountObjectsAfterDialog, the Win32 objects once back
  // to the count before, or after a short wait for ended threads to let go).
  PanelProcessHandles beforeDialog;
  PanelProcessHandles afterDialog;
  PanelSnapshot view;
  PanelDialogState dialog;
  uint64_t handled = 0;        // messages handled, of every kind
  uint64_t refreshes = 0;      // WM_APP
  uint64_t deviceChanges = 0;  // WM_DEVICECHANGE
  uint64_t scrolls = 0;        // WM_HSCROLL
  uint64_t commands = 0;       // WM_COMMAND
};

struct PanelRunShared;
struct PanelProgramShared;

// One process of the program. Calls that post or wait on handles run in
// the caller's client process (the one that started it, for WaitForEnd).
class PanelRun {
 public:
  ~PanelRun();  // closes the process handle if the run was started here and not waited for
  PanelRun(const PanelRun&) = delete;
  PanelRun& operator=(const PanelRun&) = delete;

  DWORD ProcessId() const { return processId_; }

  // Until the dialog has been initialised (true), or the run ended without
  // one, or `timeoutMs` passed (false).
  bool WaitForDialog(DWORD timeoutMs);
  // The start routine returned (with the outcome), and for a run started
  // through Start the process ended (its handle signalled).
  bool WaitForEnd(DWORD timeoutMs);
  bool Ended() const;
  // Valid once ended.
  PanelAppOutcome Outcome() const;
  // The run made a window of its own (a dialog ran).
  bool MadeWindow() const;
  HWND Window() const;

  PanelRunSnapshot Snapshot() const;
  // Until `done` holds for a published snapshot (checked at once and after
  // every message), or `timeoutMs`.
  bool WaitUntil(const std::function<bool(const PanelRunSnapshot&)>& done, DWORD timeoutMs);
  // Until every message posted before this call, and every one those
  // posted in turn, has been handled and the queue was seen empty.
  bool WaitIdle(DWORD timeoutMs);

  // What a user does; false when the dialog is not open. Dragging the
  // thumb: the trackbar moves, then TB_THUMBTRACK with the position.
  bool DragSlider(int position);
  // Releasing the thumb at `position`: TB_THUMBPOSITION, then TB_ENDTRACK.
  bool ReleaseSlider(int position);
  // A key on the trackbar: TB_LINEUP/DOWN move by 1, TB_PAGEUP/DOWN by the
  // page size (a fifth of the range), TB_TOP/BOTTOM to an end; then the
  // code, then TB_ENDTRACK, as a trackbar sends them.
  bool PressSliderKey(int code);
  bool PressPageDown() { return PressSliderKey(3); }
  // A click on a list row: the list selects it, then LBN_SELCHANGE.
  bool PickRow(LONG row);
  // The close box: WM_CLOSE.
  bool Close();

 private:
  friend class ControlPanelProgram;
  PanelRun(std::shared_ptr<PanelRunShared> run, DWORD processId, HANDLE process);
  bool Post(UINT message, WPARAM wParam, LPARAM lParam);

  std::shared_ptr<PanelRunShared> run_;
  DWORD processId_ = 0;
  HANDLE process_ = nullptr;  // from Start, in the starting process
  platform::ClientProcess* owner_ = nullptr;  // the client process holding process_
};

class ControlPanelProgram {
 public:
  // Installs the program at `path`: CreateProcessW runs it, and the setup's
  // HKLM "ControlPanel" value (64-bit view, REG_SZ) names it, written from
  // an installer process of its own.
  explicit ControlPanelProgram(const std::u16string& path = kControlPanelProgramPath);
  // Uninstalls it after closing every dialog still open and waiting for
  // the start routines to return.
  ~ControlPanelProgram();
  ControlPanelProgram(const ControlPanelProgram&) = delete;
  ControlPanelProgram& operator=(const ControlPanelProgram&) = delete;

  const std::u16string& Path() const { return path_; }

  // Starts it as the applet does: CreateProcessW with the path as the
  // application name, no command line, CREATE_NEW_CONSOLE |
  // NORMAL_PRIORITY_CLASS and a zeroed STARTUPINFOW, from the calling
  // client process. Null when CreateProcessW failed.
  std::unique_ptr<PanelRun> Start();
  // The `index`-th run the program began (0 first), however it was
  // started; null after `timeoutMs`.
  std::unique_ptr<PanelRun> WaitForRun(size_t index, DWORD timeoutMs);
  size_t Runs() const;

  // Runs started from now on wait, after their dialog is gone, until the
  // Win32 objects alive are back to the count before the dialog (at most
  // two seconds): a leak check for tests where nothing else makes or ends
  // threads meanwhile.
  void CountObjectsAfterDialog(bool wait);

 private:
  std::u16string path_;
  std::shared_ptr<PanelProgramShared> shared_;
};

}  // namespace sim
