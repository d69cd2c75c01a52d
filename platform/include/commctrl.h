/* Host stand-in for the SDK's <commctrl.h>: the trackbar's scroll
   notification codes (WM_HSCROLL's low word) the control panel reacts to. */
#ifndef USBAUDIO_PLATFORM_COMMCTRL_H
#define USBAUDIO_PLATFORM_COMMCTRL_H

#include <winuser.h>

#define TB_LINEUP 0
#define TB_LINEDOWN 1
#define TB_PAGEUP 2
#define TB_PAGEDOWN 3
#define TB_THUMBPOSITION 4
#define TB_THUMBTRACK 5
#define TB_TOP 6
#define TB_BOTTOM 7
#define TB_ENDTRACK 8

#endif
