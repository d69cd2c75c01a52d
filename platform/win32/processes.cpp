// Processes: CreateProcessW records every call and runs a registered
// program entry on the primary thread of a new simulated process; the
// process handle is signalled when the program has ended (its entry
// returned, its other threads stopped, its handles closed).
#include <map>
#include <mutex>

#include "platform/kernel/client_process.h"
#include "platform/kernel/internal.h"
#include "platform/win32/process_host.h"
#include "platform/win32/win32_internal.h"
#include "platform/win32/win32_objects.h"

namespace {

using namespace platform::win32::detail;
using platform::win32::ProgramEntry;
using platform::win32::StartedProcess;

std::u16string Folded(const std::u16string& path) {
  std::u16string s = path;
  for (char16_t& c : s)
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
  return s;
}

struct Programs {
  std::mutex lock;
  std::map<std::u16string, ProgramEntry> entries;  // by folded path
  std::vector<StartedProcess> started;
};

Programs& ThePrograms() {
  static Programs* p = new Programs;
  return *p;
}

void Record(const StartedProcess& record) {
  Programs& p = ThePrograms();
  std::lock_guard<std::mutex> lock(p.lock);
  p.started.push_back(record);
}

std::u16string Text(LPCWSTR s) { return s ? std::u16string(reinterpret_cast<const char16_t*>(s)) : std::u16string(); }

// The program a command line names: its first token, quoted or not.
std::u16string ProgramOfCommandLine(const std::u16string& line) {
  size_t start = line.find_first_not_of(u" \t");
  if (start == std::u16string::npos) return {};
  if (line[start] == u'"') {
    size_t end = line.find(u'"', start + 1);
    return line.substr(start + 1, end == std::u16string::npos ? std::u16string::npos : end - start - 1);
  }
  size_t end = line.find_first_of(u" \t", start);
  return line.substr(start, end == std::u16string::npos ? std::u16string::npos : end - start);
}

// The process's name for reports: the file name, narrowed.
std::string ProcessName(const std::u16string& path) {
  size_t slash = path.find_last_of(u"\\/");
  std::string name;
  for (char16_t c : path.substr(slash == std::u16string::npos ? 0 : slash + 1))
    name += c < 0x80 ? static_cast<char>(c) : '?';
  return name;
}

}  // namespace

namespace platform::win32 {

void RegisterProgram(const std::u16string& path, ProgramEntry entry) {
  Programs& p = ThePrograms();
  std::lock_guard<std::mutex> lock(p.lock);
  p.entries[Folded(path)] = std::move(entry);
}

void UnregisterProgram(const std::u16string& path) {
  Programs& p = ThePrograms();
  std::lock_guard<std::mutex> lock(p.lock);
  p.entries.erase(Folded(path));
}

std::vector<StartedProcess> StartedProcesses() {
  Programs& p = ThePrograms();
  std::lock_guard<std::mutex> lock(p.lock);
  return p.started;
}

void ClearStartedProcesses() {
  Programs& p = ThePrograms();
  std::lock_guard<std::mutex> lock(p.lock);
  p.started.clear();
}

bool WaitForThreadsToLeave(ClientProcess* process, DWORD timeoutMs) {
  return detail::WaitForThreadsToLeave(process, timeoutMs);
}

size_t LiveWin32Objects() { return detail::LiveObjects(); }

bool WaitForLiveWin32Objects(size_t count, DWORD timeoutMs) { return detail::WaitForLiveObjects(count, timeoutMs); }

namespace detail {

void EndProgramProcess(ProcessObject* process, DWORD exitCode) {
  // As ExitProcess: the threads still running are terminated; each stops at
  // its next wait, then the process ends.
  platform::ClientProcess* client = process->process;
  TerminateThreadsOf(client, exitCode);
  // A thread started meanwhile by one that was still running is terminated
  // in the next round.
  while (!WaitForThreadsToLeave(client, 1000)) TerminateThreadsOf(client, exitCode);
  platform::EndClientProcess(client);
  WithObjectLock([&] {
    process->exitCode = exitCode;
    process->process = nullptr;
  });
  KeSetEvent(&process->exited, IO_NO_INCREMENT, FALSE);
  Dereference(process);  // the running process's reference
}

}  // namespace detail
}  // namespace platform::win32

USBAUDIO_BEGIN_C

BOOL WINAPI CreateProcessW(LPCWSTR lpApplicationName, LPWSTR lpCommandLine,
                           LPSECURITY_ATTRIBUTES lpProcessAttributes, LPSECURITY_ATTRIBUTES lpThreadAttributes,
                           BOOL bInheritHandles, DWORD dwCreationFlags, LPVOID lpEnvironment,
                           LPCWSTR lpCurrentDirectory, LPSTARTUPINFOW lpStartupInfo,
                           LPPROCESS_INFORMATION lpProcessInformation) {
  (void)lpProcessAttributes;
  (void)lpThreadAttributes;
  (void)lpEnvironment;
  platform::ClientProcess* caller = RequireClientProcess("CreateProcessW");
  StartedProcess record;
  record.hasApplicationName = lpApplicationName != nullptr;
  record.applicationName = Text(lpApplicationName);
  record.hasCommandLine = lpCommandLine != nullptr;
  record.commandLine = Text(lpCommandLine);
  record.hasCurrentDirectory = lpCurrentDirectory != nullptr;
  record.currentDirectory = Text(lpCurrentDirectory);
  record.creationFlags = dwCreationFlags;
  record.inheritHandles = bInheritHandles != FALSE;
  record.hasStartupInfo = lpStartupInfo != nullptr;
  if (lpStartupInfo) record.startupInfo = *lpStartupInfo;
  std::u16string path = lpApplicationName ? record.applicationName : ProgramOfCommandLine(record.commandLine);
  if (!lpStartupInfo || !lpProcessInformation || path.empty()) {
    record.error = ERROR_INVALID_PARAMETER;
    Record(record);
    SetLastError(record.error);
    return FALSE;
  }
  ProgramEntry entry;
  {
    Programs& p = ThePrograms();
    std::lock_guard<std::mutex> lock(p.lock);
    auto it = p.entries.find(Folded(path));
    if (it != p.entries.end()) entry = it->second;
  }
  if (!entry) {
    record.error = ERROR_FILE_NOT_FOUND;
    Record(record);
    SetLastError(record.error);
    return FALSE;
  }
  platform::ClientProcess* child = platform::CreateClientProcess(ProcessName(path).c_str());
  auto* process = new ProcessObject;  // its one reference: the running process's
  KeInitializeEvent(&process->exited, NotificationEvent, FALSE);
  process->process = child;
  process->id = platform::ClientProcessId(child);
  std::u16string commandLine = lpCommandLine ? record.commandLine : path;
  // The caller's handle before the program runs: one that ends at once
  // drops the running process's reference before StartThread returns.
  const HANDLE processHandle = InsertHandle(caller, process, PROCESS_ALL_ACCESS);
  ThreadObject* primary = StartThread(
      child, [entry, commandLine] { return entry(commandLine); }, (dwCreationFlags & CREATE_SUSPENDED) != 0,
      process);
  if (!primary) {
    CloseObjectHandle(caller, processHandle);
    platform::EndClientProcess(child);
    delete process;
    record.error = ERROR_NOT_ENOUGH_MEMORY;
    Record(record);
    SetLastError(record.error);
    return FALSE;
  }
  lpProcessInformation->hProcess = processHandle;
  lpProcessInformation->hThread = InsertHandle(caller, primary, THREAD_ALL_ACCESS);
  lpProcessInformation->dwProcessId = process->id;
  lpProcessInformation->dwThreadId = primary->id;
  Dereference(primary);
  record.processId = process->id;
  Record(record);
  return TRUE;
}

BOOL WINAPI GetExitCodeProcess(HANDLE hProcess, LPDWORD lpExitCode) {
  platform::ClientProcess* caller = RequireClientProcess("GetExitCodeProcess");
  DWORD code = STILL_ACTIVE;
  if (hProcess != CurrentProcessPseudoHandle()) {
    Object* object = ReferenceHandle(caller, hProcess);
    if (!object || object->kind != ObjectKind::Process) {
      if (object) Dereference(object);
      SetLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
    WithObjectLock([&] { code = static_cast<ProcessObject*>(object)->exitCode; });
    Dereference(object);
  }
  if (!lpExitCode) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  *lpExitCode = code;
  return TRUE;
}

HANDLE WINAPI GetCurrentProcess(void) { return CurrentProcessPseudoHandle(); }

DWORD WINAPI GetCurrentProcessId(void) { return platform::ClientProcessId(platform::CurrentClientProcess()); }

USBAUDIO_END_C
