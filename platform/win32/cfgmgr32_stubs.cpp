// Placeholder bodies until the real implementation lands (replace this file).
#include <cfgmgr32.h>

USBAUDIO_BEGIN_C

CONFIGRET WINAPI CM_Get_Device_IDW(DEVINST, PWSTR, ULONG, ULONG) {
  SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
  return ERROR_CALL_NOT_IMPLEMENTED;
}

CONFIGRET WINAPI CM_Get_Device_ID_Size(PULONG, DEVINST, ULONG) {
  SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
  return ERROR_CALL_NOT_IMPLEMENTED;
}

USBAUDIO_END_C
