// Host-side control of the Win32 stand-ins' processes and threads, for
// tests and tools (no Windows counterpart): programs CreateProcessW can
// run, the record of what it was asked to start, and waiting for threads
// to leave a process before it is ended.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

namespace platform {
struct ClientProcess;
}

namespace platform::win32 {

// A program's entry: runs on the primary thread of a new simulated process
// with the command line CreateProcessW gave (the application name when it
// gave none); its return value is the process's exit code.
using ProgramEntry = std::function<DWORD(const std::u16string& commandLine)>;

// CreateProcessW of `path` (compared without regard to ASCII case) runs
// `entry`; a path without a program fails with ERROR_FILE_NOT_FOUND.
void RegisterProgram(const std::u16string& path, ProgramEntry entry);
void UnregisterProgram(const std::u16string& path);

// One CreateProcessW call, started or not.
struct StartedProcess {
  bool hasApplicationName = false;
  std::u16string applicationName;
  bool hasCommandLine = false;
  std::u16string commandLine;
  bool hasCurrentDirectory = false;
  std::u16string currentDirectory;
  DWORD creationFlags = 0;
  bool inheritHandles = false;
  bool hasStartupInfo = false;
  STARTUPINFOW startupInfo{};  // a copy; its pointers are the caller's
  DWORD error = ERROR_SUCCESS;  // what the call failed with; 0 when it started
  DWORD processId = 0;          // of the new process when it started
};

// Every CreateProcessW call since the last clear, oldest first.
std::vector<StartedProcess> StartedProcesses();
void ClearStartedProcesses();

// Waits until every thread CreateThread started in `process` has left it
// (a terminated thread stops at its next wait); false after `timeoutMs`.
// Then the process may be ended.
bool WaitForThreadsToLeave(ClientProcess* process, DWORD timeoutMs);

// The Win32 layer's mutex, thread and process objects alive (a handle, a
// running thread or process, or a wait names them), for leak checks; and
// waiting until at most `count` are left (a program's process object goes
// just after its handle is signalled). False after `timeoutMs`.
size_t LiveWin32Objects();
bool WaitForLiveWin32Objects(size_t count, DWORD timeoutMs);

}  // namespace platform::win32
