// <avrt.h>: the multimedia class scheduler's thread registration. A thread
// joins one of the tasks Windows installs under
// HKLM\SOFTWARE\Microsoft\Windows NT\CurrentVersion\Multimedia\SystemProfile\Tasks
// and gets a task handle; nothing is scheduled differently on the host, the
// calls are only checked and recorded (system_host.h) so tests can see which
// thread asked for which task.
#include <avrt.h>

#include <map>
#include <mutex>
#include <vector>

#include "platform/win32/system_host.h"
#include "platform/win32/text_internal.h"

namespace {

const char* const kTasks[] = {"Audio", "Capture", "Distribution", "Games", "Playback", "Pro Audio", "Window Manager"};

// The calling thread's latest task handle (handle values are never reused,
// so a handle reverted or forgotten by a reset simply is not found).
thread_local uintptr_t t_taskHandle = 0;

struct Scheduler {
  std::mutex mutex;
  std::vector<platform::win32::MmcssRecord> history;
  std::map<uintptr_t, size_t> handles;  // live task handle -> index into history
  std::map<std::string, std::vector<DWORD>> issuedIndices;  // per folded task name
  uintptr_t nextHandle = 0x5A0000;
};

Scheduler& TheScheduler() {
  static Scheduler scheduler;
  return scheduler;
}

// Task names are registry key names: compared case-insensitively.
std::string FoldedKey(const std::string& utf8) {
  std::u16string w = platform::win32::detail::FromUtf8(utf8);
  for (auto& c : w) c = static_cast<char16_t>(platform::win32::detail::FoldCase(static_cast<WCHAR>(c)));
  return platform::win32::detail::ToUtf8(reinterpret_cast<const WCHAR*>(w.data()), w.size());
}

}  // namespace

namespace platform::win32 {

std::string CurrentThreadMmcssTask() {
  Scheduler& s = TheScheduler();
  std::lock_guard<std::mutex> lock(s.mutex);
  auto found = s.handles.find(t_taskHandle);
  return found == s.handles.end() ? std::string() : s.history[found->second].task;
}

std::vector<MmcssRecord> MmcssHistory() {
  Scheduler& s = TheScheduler();
  std::lock_guard<std::mutex> lock(s.mutex);
  return s.history;
}

namespace detail {
// Part of ResetSystemStandIns.
void ResetScheduler() {
  Scheduler& s = TheScheduler();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.history.clear();
  s.handles.clear();
  s.issuedIndices.clear();
}
}  // namespace detail

}  // namespace platform::win32

USBAUDIO_BEGIN_C

// *TaskIndex is 0 on a first call (a new index is returned) or an index
// this task handed out before; another value is ERROR_INVALID_TASK_INDEX,
// a task Windows does not install ERROR_INVALID_TASK_NAME.
HANDLE WINAPI AvSetMmThreadCharacteristicsW(LPCWSTR TaskName, LPDWORD TaskIndex) {
  if (!TaskName || !TaskIndex) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  const std::string name = platform::win32::detail::ToUtf8(TaskName);
  const std::string key = FoldedKey(name);
  bool known = false;
  for (const char* task : kTasks) known = known || FoldedKey(task) == key;
  if (!known) {
    SetLastError(platform::win32::kErrorInvalidTaskName);
    return nullptr;
  }
  const DWORD threadId = GetCurrentThreadId();
  Scheduler& s = TheScheduler();
  std::lock_guard<std::mutex> lock(s.mutex);
  std::vector<DWORD>& issued = s.issuedIndices[key];
  DWORD index = *TaskIndex;
  if (index == 0) {
    index = static_cast<DWORD>(issued.size() + 1);
    issued.push_back(index);
  } else if (index > issued.size()) {
    SetLastError(platform::win32::kErrorInvalidTaskIndex);
    return nullptr;
  }
  *TaskIndex = index;
  s.history.push_back({threadId, name, index, AVRT_PRIORITY_NORMAL, false});
  const uintptr_t handle = s.nextHandle;
  s.nextHandle += 4;
  s.handles[handle] = s.history.size() - 1;
  t_taskHandle = handle;
  return reinterpret_cast<HANDLE>(handle);
}

BOOL WINAPI AvRevertMmThreadCharacteristics(HANDLE AvrtHandle) {
  Scheduler& s = TheScheduler();
  std::lock_guard<std::mutex> lock(s.mutex);
  auto found = s.handles.find(reinterpret_cast<uintptr_t>(AvrtHandle));
  if (found == s.handles.end()) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  s.history[found->second].reverted = true;
  s.handles.erase(found);
  return TRUE;
}

BOOL WINAPI AvSetMmThreadPriority(HANDLE AvrtHandle, AVRT_PRIORITY Priority) {
  Scheduler& s = TheScheduler();
  std::lock_guard<std::mutex> lock(s.mutex);
  auto found = s.handles.find(reinterpret_cast<uintptr_t>(AvrtHandle));
  if (found == s.handles.end()) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (Priority < AVRT_PRIORITY_VERYLOW || Priority > AVRT_PRIORITY_CRITICAL) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  s.history[found->second].priority = Priority;
  return TRUE;
}

USBAUDIO_END_C
