// The settings key's watch threads: count + 1 loops that each hold their own
// key handle and change event, post a notification per change they see, and
// end together on the stop event.
#include "panel/reg_key_watcher.h"

#include <cstdarg>
#include <new>

#include "asio/settings/settings_table.h"

namespace {

// One debugger line, formatted into a buffer of 1024 characters (a longer
// line is cut, still terminated).
void DebugLine(const WCHAR* format, ...) {
  WCHAR line[1024];
  va_list args;
  va_start(args, format);
  StringCchVPrintfW(line, sizeof line / sizeof line[0], format, args);
  va_end(args);
  OutputDebugStringW(line);
}

typedef BOOL(WINAPI* GetLogicalProcessorInformationFunction)(PSYSTEM_LOGICAL_PROCESSOR_INFORMATION buffer,
                                                             PDWORD returnedLength);

ULONG SetBits(ULONG_PTR mask) {
  ULONG bits = 0;
  for (; mask != 0; mask &= mask - 1) ++bits;
  return bits;
}

// Name, attributes, last-set and security changes: whatever happens under
// the key is worth a refresh.
constexpr DWORD kNotifyFilter =
    REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_ATTRIBUTES | REG_NOTIFY_CHANGE_LAST_SET | REG_NOTIFY_CHANGE_SECURITY;

// At least one loop besides the extra one, and no more than a processor
// group's worth of waiting threads for a single key.
constexpr ULONG kMaxCountedProcessors = 16;

}  // namespace

CRegKeyWatcher::CRegKeyWatcher(HKEY root) : m_root(root) {
  const int length = lstrlenW(VM_ASIO_SETTINGS_KEY);
  m_subKey = new (std::nothrow) WCHAR[length + 1];
  if (m_subKey) lstrcpynW(m_subKey, VM_ASIO_SETTINGS_KEY, length + 1);
  CountLogicalProcessors(&m_threadCount);
}

CRegKeyWatcher::~CRegKeyWatcher() {
  // Threads left running would read a freed watcher.
  Stop();
  if (m_stopEvent) CloseHandle(m_stopEvent);
  delete[] m_subKey;
  delete[] m_threadHandles;
}

DWORD CRegKeyWatcher::CountLogicalProcessors(ULONG* count) {
  if (count) *count = 0;
  HMODULE kernel32 = GetModuleHandleW(L"kernel32");
  GetLogicalProcessorInformationFunction query = nullptr;
  if (kernel32) {
    query = reinterpret_cast<GetLogicalProcessorInformationFunction>(
        reinterpret_cast<void (*)()>(GetProcAddress(kernel32, "GetLogicalProcessorInformation")));
  }
  if (!query) {
    DebugLine(L"\nGetLogicalProcessorInformation is not supported.\n");
    return 1;
  }

  SYSTEM_LOGICAL_PROCESSOR_INFORMATION* records = nullptr;
  DWORD length = 0;
  while (!query(records, &length)) {
    const DWORD error = GetLastError();
    delete[] reinterpret_cast<BYTE*>(records);
    records = nullptr;
    if (error != ERROR_INSUFFICIENT_BUFFER) {
      DebugLine(L"\nError %d\n", static_cast<int>(error));
      return 3;
    }
    records = reinterpret_cast<SYSTEM_LOGICAL_PROCESSOR_INFORMATION*>(new (std::nothrow) BYTE[length ? length : 1]);
    if (!records) {
      DebugLine(L"\nError: Allocation failure\n");
      return 2;
    }
  }

  // Whole records only; their size is the structure's (32 bytes in a 64-bit
  // program, 24 in a 32-bit one).
  const DWORD recordCount = length / sizeof(SYSTEM_LOGICAL_PROCESSOR_INFORMATION);
  int numaNodes = 0, packages = 0, cores = 0, logical = 0, l1 = 0, l2 = 0, l3 = 0;
  for (DWORD i = 0; i < recordCount; ++i) {
    const SYSTEM_LOGICAL_PROCESSOR_INFORMATION& r = records[i];
    switch (r.Relationship) {
      case RelationProcessorCore:
        ++cores;
        logical += static_cast<int>(SetBits(r.ProcessorMask));
        break;
      case RelationNumaNode:
        ++numaNodes;
        break;
      case RelationCache:
        if (r.Cache.Level == 1) ++l1;
        else if (r.Cache.Level == 2) ++l2;
        else if (r.Cache.Level == 3) ++l3;
        break;
      case RelationProcessorPackage:
        ++packages;
        break;
      default:
        DebugLine(L"\nError: Unsupported LOGICAL_PROCESSOR_RELATIONSHIP value.\n");
        break;
    }
  }
  delete[] reinterpret_cast<BYTE*>(records);

  DebugLine(L"\nGetLogicalProcessorInformation results:\n");
  DebugLine(L"Number of NUMA nodes: %d\n", numaNodes);
  DebugLine(L"Number of physical processor packages: %d\n", packages);
  DebugLine(L"Number of processor cores: %d\n", cores);
  DebugLine(L"Number of logical processors: %d\n", logical);
  DebugLine(L"Number of processor L1/L2/L3 caches: %d/%d/%d\n", l1, l2, l3);
  if (count) *count = static_cast<ULONG>(logical);
  return 0;
}

DWORD CRegKeyWatcher::Start() {
  if (m_threadHandleCount != 0) return ERROR_BUSY;  // already watching
  if (!m_subKey) return ERROR_NOT_ENOUGH_MEMORY;

  ULONG processors = m_threadCount;
  if (processors == 0) processors = 1;
  if (processors > kMaxCountedProcessors) processors = kMaxCountedProcessors;
  const ULONG threads = processors + 1;

  // The array holds every handle before the first thread exists, so a
  // growth failure cannot strand a made thread.
  if (m_threadHandleCapacity < threads) {
    HANDLE* grown = new (std::nothrow) HANDLE[threads];
    if (!grown) return ERROR_NOT_ENOUGH_MEMORY;
    delete[] m_threadHandles;
    m_threadHandles = grown;
    m_threadHandleCapacity = threads;
  }

  // A fresh stop event for every start (a previous Stop left the old one set).
  if (m_stopEvent) CloseHandle(m_stopEvent);
  m_stopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (!m_stopEvent) return GetLastError();

  for (ULONG i = 0; i < threads; ++i) {
    HANDLE thread = CreateThread(nullptr, 0, &CRegKeyWatcher::WatchThread, this, CREATE_SUSPENDED, nullptr);
    if (!thread) {
      DWORD error = GetLastError();
      if (error == ERROR_SUCCESS) error = ERROR_NOT_ENOUGH_MEMORY;
      DebugLine(L"! CreateThread failed.\n");
      // The threads made so far are suspended: closing their handles alone
      // would strand them. Run them against the set stop event so they end
      // at once, then close them.
      SetEvent(m_stopEvent);
      for (ULONG j = 0; j < m_threadHandleCount; ++j) ResumeThread(m_threadHandles[j]);
      Stop();
      return error;
    }
    m_threadHandles[m_threadHandleCount++] = thread;
  }
  for (ULONG i = 0; i < m_threadHandleCount; ++i) {
    DebugLine(L"start: %p\n", m_threadHandles[i]);
    // A thread that cannot be resumed would never see the stop event.
    if (ResumeThread(m_threadHandles[i]) == static_cast<DWORD>(-1)) TerminateThread(m_threadHandles[i], GetLastError());
  }
  return ERROR_SUCCESS;
}

void CRegKeyWatcher::Stop() {
  if (m_threadHandleCount == 0) return;
  SetEvent(m_stopEvent);
  for (ULONG i = 0; i < m_threadHandleCount; ++i) WaitForSingleObject(m_threadHandles[i], INFINITE);
  CloseThreads();
}

void CRegKeyWatcher::CloseThreads() {
  for (ULONG i = 0; i < m_threadHandleCount; ++i) CloseHandle(m_threadHandles[i]);
  m_threadHandleCount = 0;
}

DWORD WINAPI CRegKeyWatcher::WatchThread(LPVOID parameter) {
  if (!parameter) {
    DebugLine(L"! invalid parameter\n");
    return ERROR_INVALID_PARAMETER;
  }
  return static_cast<CRegKeyWatcher*>(parameter)->WatchLoop();
}

DWORD CRegKeyWatcher::WatchLoop() {
  HANDLE changed = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  if (!changed) return GetLastError();

  HKEY key = nullptr;
  LSTATUS result = RegOpenKeyExW(m_root, m_subKey, 0, KEY_NOTIFY | KEY_WOW64_64KEY, &key);
  if (result != ERROR_SUCCESS) {
    DebugLine(L"Error in RegOpenKeyEx (%d).\n", static_cast<int>(result));
    CloseHandle(changed);
    return static_cast<DWORD>(result);
  }

  HANDLE waits[2] = {m_stopEvent, changed};
  for (;;) {
    result = RegNotifyChangeKeyValue(key, TRUE, kNotifyFilter, changed, TRUE);
    if (result != ERROR_SUCCESS) {
      DebugLine(L"Error in RegNotifyChangeKeyValue (%d).\n", static_cast<int>(result));
      break;
    }
    const DWORD wait = WaitForMultipleObjects(2, waits, FALSE, INFINITE);
    if (wait == WAIT_OBJECT_0) {
      // Closing the key completes the pending request, which sets the event:
      // nothing refers to it once that wait returns.
      RegCloseKey(key);
      key = nullptr;
      WaitForSingleObject(changed, INFINITE);
      break;
    }
    if (wait == WAIT_OBJECT_0 + 1) {
      OnKeyChanged();
      continue;
    }
    result = static_cast<LSTATUS>(GetLastError());
    DebugLine(L"Error in WaitForSingleObject (%d).\n", static_cast<int>(result));
    break;
  }
  // Every way out of the loop gives the key back, not only the stop.
  if (key) RegCloseKey(key);
  CloseHandle(changed);
  DebugLine(L"end\n");
  return static_cast<DWORD>(result);
}

void CRegistryNotify::OnKeyChanged() {
  HWND owner = m_owner.load();
  if (owner) PostMessageW(owner, WM_APP, 0, 0);
}
