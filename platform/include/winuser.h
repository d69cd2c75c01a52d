/* Host stand-in for the SDK's <winuser.h>: the part of the window manager
   the control panel's logic relies on: top-level windows found by title,
   their activation, posted messages, and device-change registrations. The
   host build has no real windows; platform/win32/window_host.h makes them
   and drains their queues. */
#ifndef USBAUDIO_PLATFORM_WINUSER_H
#define USBAUDIO_PLATFORM_WINUSER_H

#include <minwinbase.h>

typedef struct HWND__ *HWND;
typedef PVOID HDEVNOTIFY;

#define WM_NULL 0x0000
#define WM_CREATE 0x0001
#define WM_DESTROY 0x0002
#define WM_PAINT 0x000F
#define WM_CLOSE 0x0010
#define WM_QUERYDRAGICON 0x0037
#define WM_INITDIALOG 0x0110
#define WM_COMMAND 0x0111
#define WM_HSCROLL 0x0114
#define WM_DEVICECHANGE 0x0219
#define WM_APP 0x8000

/* List box notification carried in WM_COMMAND's high word. */
#define LBN_SELCHANGE 1

#define SW_HIDE 0
#define SW_SHOWNORMAL 1
#define SW_SHOW 5
#define SW_RESTORE 9

/* RegisterDeviceNotificationW's recipient kind and class filter. */
#define DEVICE_NOTIFY_WINDOW_HANDLE 0x00000000
#define DEVICE_NOTIFY_SERVICE_HANDLE 0x00000001
#define DEVICE_NOTIFY_ALL_INTERFACE_CLASSES 0x00000004

#define MAKEWPARAM(l, h) ((WPARAM)(DWORD)MAKELONG(l, h))
#define MAKELPARAM(l, h) ((LPARAM)(DWORD)MAKELONG(l, h))

USBAUDIO_BEGIN_C
BOOL WINAPI PostMessageW(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam);
HWND WINAPI FindWindowW(LPCWSTR lpClassName, LPCWSTR lpWindowName);
BOOL WINAPI IsWindow(HWND hWnd);
BOOL WINAPI ShowWindow(HWND hWnd, int nCmdShow);
BOOL WINAPI SetForegroundWindow(HWND hWnd);
HDEVNOTIFY WINAPI RegisterDeviceNotificationW(HANDLE hRecipient, LPVOID NotificationFilter, DWORD Flags);
BOOL WINAPI UnregisterDeviceNotification(HDEVNOTIFY Handle);
USBAUDIO_END_C

#endif
