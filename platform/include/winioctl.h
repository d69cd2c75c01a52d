/* Host stand-in for the SDK's <winioctl.h>: I/O control code construction
   (the same definitions the kernel's <wdm.h> has). */
#ifndef USBAUDIO_PLATFORM_WINIOCTL_H
#define USBAUDIO_PLATFORM_WINIOCTL_H

#ifndef CTL_CODE
#define CTL_CODE(DeviceType, Function, Method, Access) \
  (((DeviceType) << 16) | ((Access) << 14) | ((Function) << 2) | (Method))
#endif
#ifndef METHOD_BUFFERED
#define METHOD_BUFFERED 0
#define METHOD_IN_DIRECT 1
#define METHOD_OUT_DIRECT 2
#define METHOD_NEITHER 3
#endif
#ifndef FILE_ANY_ACCESS
#define FILE_ANY_ACCESS 0x00000000
#endif
#ifndef FILE_READ_ACCESS
#define FILE_READ_ACCESS 0x00000001
#endif
#ifndef FILE_WRITE_ACCESS
#define FILE_WRITE_ACCESS 0x00000002
#endif
#ifndef FILE_DEVICE_KS
#define FILE_DEVICE_KS 0x0000002f
#endif

#endif
