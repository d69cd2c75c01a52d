/* Host stand-in for the SDK's <usbdi.h>: URBs and the internal IOCTLs. */
#ifndef USBAUDIO_PLATFORM_USBDI_H
#define USBAUDIO_PLATFORM_USBDI_H
#include <usb.h>
#include <usbioctl.h>

/* As in the SDK, usbdi.h turns USBD_TRANSFER_DIRECTION into a test. */
#ifdef USBD_TRANSFER_DIRECTION
#undef USBD_TRANSFER_DIRECTION
#endif
#define USBD_TRANSFER_DIRECTION(x) ((x) & USBD_TRANSFER_DIRECTION_IN)
#endif
