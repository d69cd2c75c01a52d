/* Host stand-in for the SDK's <objbase.h>: COM initialisation, task memory
   and GUID strings. */
#ifndef USBAUDIO_PLATFORM_OBJBASE_H
#define USBAUDIO_PLATFORM_OBJBASE_H

#include <windows.h>
#include <unknwn.h>

typedef WCHAR OLECHAR, *LPOLESTR;
typedef const WCHAR *LPCOLESTR;
typedef GUID *LPGUID;

typedef enum tagCOINIT {
  COINIT_APARTMENTTHREADED = 0x2,
  COINIT_MULTITHREADED = 0x0,
  COINIT_DISABLE_OLE1DDE = 0x4,
  COINIT_SPEED_OVER_MEMORY = 0x8
} COINIT;

#define CLSCTX_INPROC_SERVER 0x1
#define CLSCTX_INPROC_HANDLER 0x2
#define CLSCTX_LOCAL_SERVER 0x4
#define CLSCTX_ALL 0x17
#define CHARS_IN_GUID 39

USBAUDIO_BEGIN_C
HRESULT WINAPI CoInitialize(LPVOID pvReserved);
HRESULT WINAPI CoInitializeEx(LPVOID pvReserved, DWORD dwCoInit);
void WINAPI CoUninitialize(void);
LPVOID WINAPI CoTaskMemAlloc(SIZE_T cb);
void WINAPI CoTaskMemFree(LPVOID pv);
HRESULT WINAPI StringFromCLSID(REFCLSID rclsid, LPOLESTR *lplpsz);
int WINAPI StringFromGUID2(REFGUID rguid, LPOLESTR lpsz, int cchMax);
HRESULT WINAPI CLSIDFromString(LPCOLESTR lpsz, LPCLSID pclsid);
USBAUDIO_END_C

#endif
