// USBD helpers of <usbdlib.h>. The parsers are fed untrusted descriptor
// bytes: they never read outside the buffer they are given and stop at a
// descriptor whose bLength is below 2 or runs past the end.
#include <wdm.h>
#include <usb.h>
#include <usbdlib.h>

#include "platform/kernel/internal.h"

namespace {

constexpr ULONG kUsbdTag = platform::PoolTag("USBD");

const UCHAR* End(PUSB_CONFIGURATION_DESCRIPTOR config) {
  return reinterpret_cast<const UCHAR*>(config) + config->wTotalLength;
}

}  // namespace

extern "C" {

PUSB_COMMON_DESCRIPTOR NTAPI USBD_ParseDescriptors(PVOID DescriptorBuffer, ULONG TotalLength, PVOID StartPosition,
                                                   LONG DescriptorType) {
  const UCHAR* begin = static_cast<const UCHAR*>(DescriptorBuffer);
  const UCHAR* end = begin + TotalLength;
  const UCHAR* p = static_cast<const UCHAR*>(StartPosition);
  if (!begin || !p || p < begin || p >= end) return NULL;
  while (end - p >= static_cast<ptrdiff_t>(sizeof(USB_COMMON_DESCRIPTOR))) {
    const PUSB_COMMON_DESCRIPTOR d = reinterpret_cast<PUSB_COMMON_DESCRIPTOR>(const_cast<UCHAR*>(p));
    if (d->bLength < sizeof(USB_COMMON_DESCRIPTOR) || d->bLength > end - p) return NULL;
    if (d->bDescriptorType == DescriptorType) return d;
    p += d->bLength;
  }
  return NULL;
}

PUSB_INTERFACE_DESCRIPTOR NTAPI USBD_ParseConfigurationDescriptorEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                                                    PVOID StartPosition, LONG InterfaceNumber,
                                                                    LONG AlternateSetting, LONG InterfaceClass,
                                                                    LONG InterfaceSubClass, LONG InterfaceProtocol) {
  if (!ConfigurationDescriptor) return NULL;
  const UCHAR* end = End(ConfigurationDescriptor);
  PVOID position = StartPosition;
  for (;;) {
    PUSB_COMMON_DESCRIPTOR d = USBD_ParseDescriptors(ConfigurationDescriptor, ConfigurationDescriptor->wTotalLength,
                                                     position, USB_INTERFACE_DESCRIPTOR_TYPE);
    if (!d) return NULL;
    const UCHAR* next = reinterpret_cast<const UCHAR*>(d) + d->bLength;
    position = const_cast<UCHAR*>(next);
    // A short interface descriptor cannot be matched without reading past it.
    if (d->bLength < sizeof(USB_INTERFACE_DESCRIPTOR)) {
      if (next >= end) return NULL;
      continue;
    }
    PUSB_INTERFACE_DESCRIPTOR i = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(d);
    if ((InterfaceNumber == -1 || i->bInterfaceNumber == InterfaceNumber) &&
        (AlternateSetting == -1 || i->bAlternateSetting == AlternateSetting) &&
        (InterfaceClass == -1 || i->bInterfaceClass == InterfaceClass) &&
        (InterfaceSubClass == -1 || i->bInterfaceSubClass == InterfaceSubClass) &&
        (InterfaceProtocol == -1 || i->bInterfaceProtocol == InterfaceProtocol)) {
      return i;
    }
    if (next >= end) return NULL;
  }
}

PUSB_INTERFACE_DESCRIPTOR NTAPI USBD_ParseConfigurationDescriptor(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                                                  UCHAR InterfaceNumber, UCHAR AlternateSetting) {
  return USBD_ParseConfigurationDescriptorEx(ConfigurationDescriptor, ConfigurationDescriptor, InterfaceNumber,
                                             AlternateSetting, -1, -1, -1);
}

PURB NTAPI USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                             PUSBD_INTERFACE_LIST_ENTRY InterfaceList) {
  const void* caller = USBAUDIO_CALLER();
  if (!ConfigurationDescriptor || !InterfaceList) return NULL;
  size_t size = sizeof(struct _URB_SELECT_CONFIGURATION) - sizeof(USBD_INTERFACE_INFORMATION);
  size_t interfaces = 0;
  for (PUSBD_INTERFACE_LIST_ENTRY e = InterfaceList; e->InterfaceDescriptor; ++e, ++interfaces)
    size += GET_USBD_INTERFACE_SIZE(e->InterfaceDescriptor->bNumEndpoints);
  if (interfaces == 0) size = sizeof(struct _URB_SELECT_CONFIGURATION);
  if (size > 0xffff) return NULL;  // Hdr.Length is 16 bits
  PURB urb = static_cast<PURB>(platform::detail::AllocatePool(NonPagedPoolNx, size, kUsbdTag, true, caller));
  if (!urb) return NULL;
  urb->UrbHeader.Length = static_cast<USHORT>(size);
  urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
  urb->UrbSelectConfiguration.ConfigurationDescriptor = ConfigurationDescriptor;
  PUCHAR cursor = reinterpret_cast<PUCHAR>(&urb->UrbSelectConfiguration.Interface);
  for (PUSBD_INTERFACE_LIST_ENTRY e = InterfaceList; e->InterfaceDescriptor; ++e) {
    PUSB_INTERFACE_DESCRIPTOR d = e->InterfaceDescriptor;
    PUSBD_INTERFACE_INFORMATION info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(cursor);
    info->Length = static_cast<USHORT>(GET_USBD_INTERFACE_SIZE(d->bNumEndpoints));
    info->InterfaceNumber = d->bInterfaceNumber;
    info->AlternateSetting = d->bAlternateSetting;
    info->NumberOfPipes = d->bNumEndpoints;
    for (ULONG i = 0; i < d->bNumEndpoints; ++i) {
      info->Pipes[i].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
      info->Pipes[i].PipeFlags = 0;
    }
    e->Interface = info;
    cursor += info->Length;
  }
  return urb;
}

VOID NTAPI USBD_GetUSBDIVersion(PUSBD_VERSION_INFORMATION VersionInformation) {
  VersionInformation->USBDI_Version = USBDI_VERSION;
  VersionInformation->Supported_USB_Version = 0x200;
}

}  // extern "C"
