// Threads that wait for changes under the settings key and report them:
// CRegKeyWatcher runs count + 1 watch loops on one key (count: the logical
// processors, 1..16); CRegistryNotify posts WM_APP to the control panel's
// dialog for every change a loop sees.
#pragma once

#include "kslib/user_prelude.h"

#include <atomic>

class CRegKeyWatcher {
 public:
  // Watches `root`\"SOFTWARE\Velmora\Velmora ASIO Device".
  explicit CRegKeyWatcher(HKEY root);
  // Stops threads still running (Stop), then frees the event, path and array.
  virtual ~CRegKeyWatcher();
  CRegKeyWatcher(const CRegKeyWatcher&) = delete;
  CRegKeyWatcher& operator=(const CRegKeyWatcher&) = delete;

  // Creates the stop event and the threads (suspended, then resumed).
  // 0, or the Win32 error; on failure no thread runs. ERROR_BUSY while
  // threads of an earlier Start still run.
  DWORD Start();
  // Sets the stop event, waits for every thread and closes their handles.
  void Stop();

  // Called on a watch thread for each change it sees.
  virtual void OnKeyChanged() {}

  // The logical processors counted at construction (0 when unknown).
  ULONG ThreadCount() const { return m_threadCount; }
  // Threads Start made and Stop has not closed yet.
  ULONG StartedThreads() const { return m_threadHandleCount; }

  // The processor report to the debugger; stores the logical processors in
  // *count. 0, or 1 (no GetLogicalProcessorInformation), 2 (allocation
  // failure), 3 (another error).
  static DWORD CountLogicalProcessors(ULONG* count);

 private:
  static DWORD WINAPI WatchThread(LPVOID parameter);
  DWORD WatchLoop();
  void CloseThreads();

  HANDLE m_stopEvent = nullptr;
  HKEY m_root;
  WCHAR* m_subKey = nullptr;
  HANDLE* m_threadHandles = nullptr;  // growable array
  ULONG m_threadHandleCount = 0;
  ULONG m_threadHandleCapacity = 0;
  ULONG m_threadCount = 0;
};

class CRegistryNotify : public CRegKeyWatcher {
 public:
  explicit CRegistryNotify(HKEY root) : CRegKeyWatcher(root) {}
  // Stops the threads while this override is still theirs to call.
  ~CRegistryNotify() override { Stop(); }
  // The dialog's window; set during its initialisation, before Start.
  void SetOwner(HWND owner) { m_owner.store(owner); }
  // Posts WM_APP (0, 0) to the owner when there is one.
  void OnKeyChanged() override;

 private:
  std::atomic<HWND> m_owner{nullptr};
};
