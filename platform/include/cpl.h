/* Host stand-in for the SDK's <cpl.h>: the Control Panel's messages to an
   applet and the CPLINFO record it fills. */
#ifndef USBAUDIO_PLATFORM_CPL_H
#define USBAUDIO_PLATFORM_CPL_H

#include <windows.h>

#define CPL_DYNAMIC_RES 0
#define CPL_INIT 1
#define CPL_GETCOUNT 2
#define CPL_INQUIRE 3
#define CPL_SELECT 4
#define CPL_DBLCLK 5
#define CPL_STOP 6
#define CPL_EXIT 7
#define CPL_NEWINQUIRE 8
#define CPL_STARTWPARMSA 9
#define CPL_STARTWPARMSW 10
#define CPL_SETUP 200

/* The SDK declares the applet records byte-packed (<pshpack1.h>): lData
   sits at offset 12 and the record is 20 bytes on x64. */
#pragma pack(push, 1)
typedef struct tagCPLINFO {
  int idIcon;
  int idName;
  int idInfo;
  LONG_PTR lData;
} CPLINFO, *LPCPLINFO;
#pragma pack(pop)

typedef LONG(APIENTRY *APPLET_PROC)(HWND hwndCpl, UINT msg, LPARAM lParam1, LPARAM lParam2);

#endif
