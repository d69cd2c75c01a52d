// Host-only controls of the Win32 "system" stand-ins: the modules the
// loader knows, the multimedia class scheduler's records, the Windows
// version and processor layout programs see, and the timer resolution
// requests. Tests and tools use them; product code never includes this.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace platform {
struct ClientProcess;
}

namespace platform::win32 {

// ---- Modules (LoadLibraryW / GetProcAddress / FreeLibrary) ----------------
// Built in: "ksuser.dll" (KsCreatePin), "avrt.dll" (the MMCSS calls) and
// "kernel32.dll" (always loaded in every process). Names are matched as the
// loader matches known DLLs: case-insensitively, by the part after the last
// path separator, ".dll" implied when the name has no extension.

struct ModuleExport {
  std::string name;
  FARPROC address;
};

// Later LoadLibraryW / GetModuleHandleW of the module fail with
// ERROR_MOD_NOT_FOUND (a process that already holds it keeps its handle).
void SetModuleMissing(const std::string& module, bool missing = true);
// GetProcAddress of that export fails with ERROR_PROC_NOT_FOUND.
void SetModuleExportMissing(const std::string& module, const std::string& exportName, bool missing = true);
// A module's DllMain-style entry point.
typedef BOOL(WINAPI* ModuleEntry)(HINSTANCE instance, DWORD reason, LPVOID reserved);

// Adds a module the loader can find (a DLL installed on the machine);
// `path` is what GetModuleFileNameW reports (default: the name). A module of
// the same name (built-in ones included) is replaced in place: same handle,
// its path kept unless `path` is given. Returns the module's handle value.
// `entry`, when given, is called as Windows calls a DLL's DllMain, under the
// loader's lock (other threads' loader calls wait; the entry's own calls of
// GetModuleHandleW, GetModuleFileNameW, DisableThreadLibraryCalls work):
// with DLL_PROCESS_ATTACH (reserved null) by the LoadLibraryW that maps the
// module into a process, the module already mapped; with DLL_PROCESS_DETACH
// (reserved null) by the FreeLibrary that drops the process's last
// reference, the module still mapped. An attach returning FALSE is followed
// by a detach call, the module leaves the process and LoadLibraryW fails
// with ERROR_DLL_INIT_FAILED. A process ending with the module still loaded
// gets no detach call. No thread attach/detach calls are made.
HMODULE RegisterModule(const std::string& name, const std::vector<ModuleExport>& exports, const std::string& path = "",
                       ModuleEntry entry = nullptr);
// DisableThreadLibraryCalls was called for the module (since it was
// registered).
bool ThreadLibraryCallsDisabled(const std::string& module);
// The references `process` holds on the module (LoadLibraryW calls not yet
// matched by FreeLibrary); 0 when not loaded.
unsigned ModuleReferenceCount(const ClientProcess* process, const std::string& module);
// Forgets what a process loaded (done by itself when a process ends).
void ForgetProcessModules(const ClientProcess* process);

// ---- Multimedia class scheduler (avrt.dll) -------------------------------

// What AvSetMmThreadCharacteristicsW fails with for a task Windows does not
// install and for a task index it did not hand out (ERROR_INVALID_TASK_NAME
// and ERROR_INVALID_TASK_INDEX of the Windows SDK; mingw-w64's winerror.h
// lacks them, so the shared header does not declare them).
constexpr DWORD kErrorInvalidTaskName = 1550;
constexpr DWORD kErrorInvalidTaskIndex = 1551;

struct MmcssRecord {
  DWORD threadId;        // GetCurrentThreadId of the thread that joined the task
  std::string task;      // task name as the caller spelled it
  DWORD taskIndex;
  int priority;          // AVRT_PRIORITY; AVRT_PRIORITY_NORMAL until set
  bool reverted;         // AvRevertMmThreadCharacteristics was called
};
// The calling thread's current MMCSS task (empty when it has none).
std::string CurrentThreadMmcssTask();
// Every AvSetMmThreadCharacteristicsW that succeeded, in order.
std::vector<MmcssRecord> MmcssHistory();

// ---- Version and processors ----------------------------------------------

// What GetVersionExW reports; default 6.2.9200, what a program without a
// compatibility manifest sees on Windows 8 and later.
void SetWindowsVersion(DWORD major, DWORD minor, DWORD build);
// GetLogicalProcessorInformation's machine: packages x cores per package x
// logical processors per core (one NUMA node per package, an L1 data, L1
// instruction and L2 cache per core, an L3 per package). Default 1 x 2 x 1.
// False (nothing changed) when a count is 0 or the total exceeds 64, the
// size of one processor group.
bool SetProcessorLayout(unsigned packages, unsigned coresPerPackage, unsigned threadsPerCore);

// ---- Time ------------------------------------------------------------------

// Added to GetTickCount(64) and timeGetTime (a machine that has run this long,
// e.g. to reach a DWORD wrap).
void SetUptimeBias(uint64_t milliseconds);
// Periods requested with timeBeginPeriod and not yet ended, in order.
std::vector<UINT> ActiveTimerPeriods();

// The next `count` CreateThread calls (in any process) fail with
// ERROR_NOT_ENOUGH_MEMORY, as when the system cannot make a thread; with
// `after`, that many calls succeed first (a failure part-way through a
// series of threads).
void FailNextThreadCreations(unsigned count, unsigned after = 0);

// Restores every default above: built-in modules only, nothing missing, no
// module loaded by any process, no MMCSS records, version and layout
// defaults, no uptime bias, no timer periods, no failing thread creation.
void ResetSystemStandIns();

}  // namespace platform::win32
