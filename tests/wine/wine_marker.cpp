// A program for the applet's launch checks (applet_wine_check.exe): when
// started it appends one line to the log its starter names in the
// environment (VELMORA_MARKER_LOG) — its own path, its command line and its
// current directory, tab-separated, UTF-16 — and then releases the starter's
// named semaphore (VELMORA_MARKER_SEMAPHORE), so the starter waits on that
// instead of polling. A GUI program: the applet's CREATE_NEW_CONSOLE makes
// no console for it. Without the two variables it does nothing (status 2).
#include <windows.h>

#include <wchar.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  wchar_t log[MAX_PATH], semaphoreName[128];
  if (GetEnvironmentVariableW(L"VELMORA_MARKER_LOG", log, MAX_PATH) == 0 ||
      GetEnvironmentVariableW(L"VELMORA_MARKER_SEMAPHORE", semaphoreName, 128) == 0)
    return 2;
  wchar_t module[MAX_PATH], directory[MAX_PATH], line[4 * MAX_PATH];
  if (GetModuleFileNameW(nullptr, module, MAX_PATH) == 0) module[0] = L'\0';
  if (GetCurrentDirectoryW(MAX_PATH, directory) == 0) directory[0] = L'\0';
  int length = swprintf(line, sizeof line / sizeof line[0], L"%ls\t%ls\t%ls\n", module, GetCommandLineW(), directory);
  if (length < 0) return 3;
  HANDLE file = CreateFileW(log, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 4;
  DWORD written = 0;
  BOOL ok = WriteFile(file, line, static_cast<DWORD>(length) * sizeof(wchar_t), &written, nullptr);
  CloseHandle(file);
  HANDLE semaphore = OpenSemaphoreW(SEMAPHORE_MODIFY_STATE, FALSE, semaphoreName);
  if (semaphore == nullptr) return 5;
  ReleaseSemaphore(semaphore, 1, nullptr);
  CloseHandle(semaphore);
  return ok ? 0 : 6;
}
