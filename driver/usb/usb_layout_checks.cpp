// Layouts the driver relies on. Compiled in both builds, so the host
// stand-ins cannot drift from the DDK's definitions.
#include "driver/runtime/kernel_prelude.h"

static_assert(sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST) == 136, "get-descriptor URB");
static_assert(sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST) == 136, "class/vendor URB");
static_assert(sizeof(struct _URB_ISOCH_TRANSFER) == 152, "isochronous URB header with one packet");
static_assert(FIELD_OFFSET(struct _URB_ISOCH_TRANSFER, IsoPacket) == 140, "isochronous packet array");
static_assert(sizeof(USBD_ISO_PACKET_DESCRIPTOR) == 12, "isochronous packet descriptor");
static_assert(sizeof(struct _URB_PIPE_REQUEST) == 40, "pipe request URB");
static_assert(sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER) == 128, "bulk/interrupt URB");
static_assert(sizeof(struct _URB_SELECT_INTERFACE) == 80, "select-interface URB with one pipe");
static_assert(FIELD_OFFSET(struct _URB_SELECT_INTERFACE, Interface) == 32, "interface information in select-interface");
static_assert(sizeof(USBD_INTERFACE_INFORMATION) == 48, "interface information with one pipe");
static_assert(FIELD_OFFSET(USBD_INTERFACE_INFORMATION, Pipes) == 24, "pipe array");
static_assert(sizeof(USBD_PIPE_INFORMATION) == 24, "pipe information");
static_assert(FIELD_OFFSET(USBD_PIPE_INFORMATION, PipeHandle) == 8, "pipe handle");
static_assert(sizeof(struct _URB_HEADER) == 24, "URB header");
static_assert(FIELD_OFFSET(struct _URB_CONTROL_DESCRIPTOR_REQUEST, TransferBufferLength) == 36, "descriptor length");
static_assert(FIELD_OFFSET(struct _URB_CONTROL_DESCRIPTOR_REQUEST, Index) == 130, "descriptor index");
static_assert(FIELD_OFFSET(struct _URB_CONTROL_DESCRIPTOR_REQUEST, LanguageId) == 132, "descriptor language");
static_assert(FIELD_OFFSET(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, Request) == 129, "request code");
static_assert(FIELD_OFFSET(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, Index) == 132, "request index");
static_assert(FIELD_OFFSET(struct _URB_SELECT_CONFIGURATION, ConfigurationHandle) == 32, "configuration handle");
static_assert(sizeof(USB_BUS_INTERFACE_USBDI_V3) == 96, "bus interface v3");
static_assert(sizeof(USB_BUS_INTERFACE_USBDI_V1) == 72, "bus interface v1");
static_assert(FIELD_OFFSET(USB_BUS_INTERFACE_USBDI_V3, QueryBusTime) == 40, "QueryBusTime slot");
static_assert(FIELD_OFFSET(USB_BUS_INTERFACE_USBDI_V3, IsDeviceHighSpeed) == 64, "IsDeviceHighSpeed slot");
static_assert(sizeof(USB_DEVICE_DESCRIPTOR) == 18, "device descriptor");
static_assert(sizeof(USB_CONFIGURATION_DESCRIPTOR) == 9, "configuration descriptor");
static_assert(sizeof(USB_INTERFACE_DESCRIPTOR) == 9, "interface descriptor");
static_assert(sizeof(USB_ENDPOINT_DESCRIPTOR) == 7, "endpoint descriptor");
static_assert(sizeof(USBD_INTERFACE_LIST_ENTRY) == 16, "interface list entry");
static_assert(IOCTL_INTERNAL_USB_SUBMIT_URB == 0x220003, "submit-URB control code");
