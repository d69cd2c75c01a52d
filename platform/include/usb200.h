/* Host stand-in for the SDK's <usb200.h>: the chapter 9 definitions. */
#ifndef USBAUDIO_PLATFORM_USB200_H
#define USBAUDIO_PLATFORM_USB200_H
#include <usbspec.h>
#endif
