/* Host stand-in for the SDK's <usb100.h>: the chapter 9 definitions. */
#ifndef USBAUDIO_PLATFORM_USB100_H
#define USBAUDIO_PLATFORM_USB100_H
#include <usbspec.h>
#endif
