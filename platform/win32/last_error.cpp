// The thread's last error, as kernel32 keeps it in the thread's environment.
#include <windows.h>

namespace {
thread_local DWORD t_lastError = ERROR_SUCCESS;
}

USBAUDIO_BEGIN_C
DWORD WINAPI GetLastError(void) { return t_lastError; }
void WINAPI SetLastError(DWORD dwErrCode) { t_lastError = dwErrCode; }
USBAUDIO_END_C
