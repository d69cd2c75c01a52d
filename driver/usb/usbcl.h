// CUSBCL: the driver's access to its USB device. Everything goes through
// URBs on internal device-control IRPs sent to the device's PDO, and through
// the USB bus interface queried from the bus driver.
#pragma once

#include "driver/runtime/kernel_prelude.h"
#include "driver/runtime/pool_object.h"

class CUSBCL;

// Completion callback of an asynchronous transfer: IRP status, bytes moved,
// the caller's context.
typedef VOID (*PUSB_TRANSFER_CALLBACK)(NTSTATUS irpStatus, ULONG byteCount, PVOID userContext);

// One asynchronous transfer in flight; from the context lookaside list.
struct USB_TRANSFER_CONTEXT {
    PURB Urb;
    PUSB_TRANSFER_CALLBACK Callback;
    PVOID UserContext;
    CUSBCL* Owner;
    PVOID ExtraBuffer;  // freed together with the context (pool, any tag)
    // The transfer buffer's length at submission: the bus replaces the URB's
    // length with the bytes received, and packing must stay inside the buffer.
    ULONG BufferBytes;
};
static_assert(sizeof(USB_TRANSFER_CONTEXT) == 48, "transfer context is 48 bytes");

// Isochronous URBs of up to this many packets fit the URB lookaside entries.
constexpr ULONG USB_MAX_ISO_PACKETS = 40;
constexpr ULONG USB_ISO_URB_BYTES = sizeof(struct _URB_ISOCH_TRANSFER) + USB_MAX_ISO_PACKETS * sizeof(USBD_ISO_PACKET_DESCRIPTOR);
static_assert(USB_ISO_URB_BYTES == 632, "isochronous URB buffers are 632 bytes");

constexpr ULONG USB_STRING_BUFFER_BYTES = 256;

// The statuses a transfer ends with once the device has gone away.
inline BOOLEAN IsDeviceGoneStatus(NTSTATUS status) {
    return status == STATUS_NO_SUCH_DEVICE || status == STATUS_DELETE_PENDING || status == STATUS_DEVICE_NOT_CONNECTED;
}
constexpr USHORT USB_LANGUAGE_ENGLISH_US = 0x0409;
constexpr ULONG USB_DEFAULT_IRP_COUNT = 10;

class CUSBCL : public CPoolObject {
public:
    CUSBCL();
    virtual ~CUSBCL();

    // Called for every asynchronous completion before the transfer's callback.
    virtual VOID OnTransferComplete(NTSTATUS irpStatus, PURB urb, USB_TRANSFER_CONTEXT* context) = 0;

    NTSTATUS Init(PDEVICE_OBJECT targetDevice, ULONG irpCount);
    NTSTATUS GetBusInterface();
    PUSBD_INTERFACE_LIST_ENTRY CreateInterfaceList(ULONG* count);
    NTSTATUS ConfigurationRequest(PUSBD_INTERFACE_LIST_ENTRY list, ULONG count);
    NTSTATUS SelectAlternate(UCHAR interfaceNumber, UCHAR alternateSetting);
    PUSBD_PIPE_INFORMATION FindPipe(UCHAR endpointAddress);

    NTSTATUS SubmitUrbSync(PURB urb);
    // The result of the transfer arrives in the context's callback; the
    // context and the URB are owned by the transfer from here on.
    NTSTATUS SubmitUrbAsync(PURB urb, USB_TRANSFER_CONTEXT* context);

    // transferred (optional) receives the bytes the device actually moved.
    NTSTATUS ControlRequest(UCHAR bmRequestType, UCHAR bRequest, USHORT wValue, USHORT wIndex,
                            USHORT wLength, PVOID data, PULONG transferred = NULL);
    // buffer: USB_STRING_BUFFER_BYTES bytes.
    NTSTATUS GetStringDescriptor(UCHAR index, PVOID buffer);
    NTSTATUS ResetPipe(PUSBD_PIPE_INFORMATION pipe);
    NTSTATUS AbortPipe(PUSBD_PIPE_INFORMATION pipe);
    NTSTATUS QueryBusTime(PULONG frame);

    // Pools of the asynchronous path.
    USB_TRANSFER_CONTEXT* AllocateTransferContext();
    VOID FreeTransferContext(USB_TRANSFER_CONTEXT* context);
    PURB AllocateIsoUrb();
    VOID FreeIsoUrb(PURB urb);

    BOOLEAN IsHighSpeed() const { return isHighSpeed; }
    const USB_DEVICE_DESCRIPTOR& GetDeviceDescriptor() const { return DeviceDescriptor; }
    PUSB_CONFIGURATION_DESCRIPTOR GetConfigurationDescriptor() const { return ConfigurationDescriptor; }
    ULONG GetConfigurationLength() const;
    LONG GetInterfaceCount() const { return InterfaceCount; }
    PUSBD_INTERFACE_INFORMATION GetInterface(LONG index) const;
    PUSB_STRING_DESCRIPTOR GetLanguageIds() const { return LanguageIds; }
    ULONG GetFreeIrpCount();

protected:
    NTSTATUS GetDescriptor(UCHAR type, UCHAR index, USHORT languageId, PVOID buffer, ULONG length,
                           ULONG* returned);
    NTSTATUS PipeRequest(PUSBD_PIPE_INFORMATION pipe, USHORT function);
    // A zeroed URB from pool (tag USBA) with its header filled in.
    PURB AllocateUrb(ULONG length, USHORT function);
    PIRP TakeIrp();
    VOID ReturnIrp(PIRP irp);
    // Sends the URB on the IRP to the bus; its outcome arrives through
    // `routine` with the context, which records the URB and the buffer length.
    VOID SendUrbIrp(PIRP irp, PURB urb, ULONG bufferBytes, PIO_COMPLETION_ROUTINE routine,
                    USB_TRANSFER_CONTEXT* context);
    VOID FreeInterfaces();
    static NTSTATUS UrbCompletion(PDEVICE_OBJECT deviceObject, PIRP irp, PVOID context);

    BOOLEAN isHighSpeed;
    USB_DEVICE_DESCRIPTOR DeviceDescriptor;
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor;
    PDEVICE_OBJECT TargetDevice;
    USBD_CONFIGURATION_HANDLE ConfigurationHandle;
    LONG InterfaceCount;
    PUSBD_INTERFACE_INFORMATION* Interfaces;
    PUSB_STRING_DESCRIPTOR LanguageIds;
    USB_BUS_INTERFACE_USBDI_V3 BusInterface;
    NPAGED_LOOKASIDE_LIST ContextPool;
    NPAGED_LOOKASIDE_LIST UrbPool;
    KSPIN_LOCK IrpLock;
    LIST_ENTRY FreeIrps;
    ULONG FreeIrpCount;
};
