#include "driver/usb/usbcl.h"

#include "driver/runtime/pool_tags.h"
#include "driver/runtime/trace.h"
#include "driver/usb/descriptor_chain.h"
#include "driver/usb/iso_packing.h"

namespace {

constexpr USHORT BUS_INTERFACE_V3_SIZE = sizeof(USB_BUS_INTERFACE_USBDI_V3);
constexpr USHORT BUS_INTERFACE_V1_SIZE = sizeof(USB_BUS_INTERFACE_USBDI_V1);

NTSTATUS SignalEventCompletion(PDEVICE_OBJECT, PIRP, PVOID context) {
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends IRP_MN_QUERY_INTERFACE for the USBDI bus interface of the given
// version into `target` and waits for the answer.
NTSTATUS QueryBusInterface(PDEVICE_OBJECT device, USHORT size, USHORT version, PINTERFACE target) {
    PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
    if (irp == NULL) {
        UA_ERROR("query-interface IRP allocation failed");
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);

    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    irp->IoStatus.Information = 0;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = IRP_MJ_PNP;
    stack->MinorFunction = IRP_MN_QUERY_INTERFACE;
    stack->Parameters.QueryInterface.InterfaceType = &USB_BUS_INTERFACE_USBDI_GUID;
    stack->Parameters.QueryInterface.Size = size;
    stack->Parameters.QueryInterface.Version = version;
    stack->Parameters.QueryInterface.Interface = target;
    stack->Parameters.QueryInterface.InterfaceSpecificData = NULL;
    IoSetCompletionRoutine(irp, SignalEventCompletion, &done, TRUE, TRUE, TRUE);

    NTSTATUS status = IoCallDriver(device, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
    }
    status = irp->IoStatus.Status;
    IoFreeIrp(irp);
    return status;
}

}  // namespace

CUSBCL::CUSBCL() {
    isHighSpeed = FALSE;
    RtlZeroMemory(&DeviceDescriptor, sizeof(DeviceDescriptor));
    ConfigurationDescriptor = NULL;
    TargetDevice = NULL;
    ConfigurationHandle = NULL;
    InterfaceCount = 0;
    Interfaces = NULL;
    LanguageIds = NULL;
    RtlZeroMemory(&BusInterface, sizeof(BusInterface));
    ExInitializeNPagedLookasideList(&ContextPool, NULL, NULL, 0, sizeof(USB_TRANSFER_CONTEXT), POOLTAG_USB, 0);
    ExInitializeNPagedLookasideList(&UrbPool, NULL, NULL, 0, USB_ISO_URB_BYTES, POOLTAG_USB, 0);
    KeInitializeSpinLock(&IrpLock);
    InitializeListHead(&FreeIrps);
    FreeIrpCount = 0;
}

CUSBCL::~CUSBCL() {
    while (!IsListEmpty(&FreeIrps)) {
        PLIST_ENTRY entry = RemoveHeadList(&FreeIrps);
        IoFreeIrp(CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry));
    }
    FreeIrpCount = 0;
    FreeInterfaces();
    if (ConfigurationDescriptor != NULL) {
        ExFreePoolWithTag(ConfigurationDescriptor, POOLTAG_USB);
        ConfigurationDescriptor = NULL;
    }
    if (LanguageIds != NULL) {
        ExFreePoolWithTag(LanguageIds, POOLTAG_USB);
        LanguageIds = NULL;
    }
    if (BusInterface.InterfaceDereference != NULL) {
        BusInterface.InterfaceDereference(BusInterface.BusContext);
    }
    ExDeleteNPagedLookasideList(&UrbPool);
    ExDeleteNPagedLookasideList(&ContextPool);
}

VOID CUSBCL::FreeInterfaces() {
    if (Interfaces == NULL) {
        return;
    }
    for (LONG i = 0; i < InterfaceCount; ++i) {
        if (Interfaces[i] != NULL) {
            ExFreePoolWithTag(Interfaces[i], POOLTAG_USB);
        }
    }
    ExFreePoolWithTag(Interfaces, POOLTAG_USB);
    Interfaces = NULL;
    InterfaceCount = 0;
}

NTSTATUS CUSBCL::Init(PDEVICE_OBJECT targetDevice, ULONG irpCount) {
    TargetDevice = targetDevice;
    if (irpCount == 0) {
        irpCount = USB_DEFAULT_IRP_COUNT;
    }
    for (ULONG i = 0; i < irpCount; ++i) {
        PIRP irp = IoAllocateIrp(TargetDevice->StackSize, FALSE);
        if (irp == NULL) {
            UA_ERROR("pre-allocating IRP %lu of %lu failed", (unsigned long)i, (unsigned long)irpCount);
            continue;
        }
        ReturnIrp(irp);
    }

    NTSTATUS status = GetBusInterface();
    if (!NT_SUCCESS(status)) {
        UA_ERROR("bus interface query failed 0x%08lx", (unsigned long)status);
        return status;
    }

    // Speed: the version-1 interface is enough to ask.
    USB_BUS_INTERFACE_USBDI_V1 speedInterface;
    RtlZeroMemory(&speedInterface, sizeof(speedInterface));
    status = QueryBusInterface(TargetDevice, BUS_INTERFACE_V1_SIZE, USB_BUSIF_USBDI_VERSION_1,
                               reinterpret_cast<PINTERFACE>(&speedInterface));
    if (!NT_SUCCESS(status)) {
        UA_ERROR("bus interface v1 query failed 0x%08lx", (unsigned long)status);
        return status;
    }
    isHighSpeed = speedInterface.IsDeviceHighSpeed != NULL && speedInterface.IsDeviceHighSpeed(speedInterface.BusContext);
    if (speedInterface.InterfaceDereference != NULL) {
        speedInterface.InterfaceDereference(speedInterface.BusContext);
    }

    ULONG returned = 0;
    status = GetDescriptor(USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, &DeviceDescriptor, sizeof(DeviceDescriptor), &returned);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (returned != sizeof(DeviceDescriptor)) {
        UA_ERROR("device descriptor is %lu bytes", (unsigned long)returned);
        return STATUS_NOT_SUPPORTED;
    }

    USB_CONFIGURATION_DESCRIPTOR header;
    RtlZeroMemory(&header, sizeof(header));
    status = GetDescriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, &header, sizeof(header), &returned);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (returned != sizeof(header)) {
        UA_ERROR("configuration descriptor header is %lu bytes", (unsigned long)returned);
        return STATUS_NOT_SUPPORTED;
    }
    const ULONG totalLength = header.wTotalLength;
    if (totalLength < sizeof(header)) {
        UA_ERROR("configuration wTotalLength %lu is shorter than its header", (unsigned long)totalLength);
        return STATUS_NOT_SUPPORTED;
    }
    ConfigurationDescriptor = static_cast<PUSB_CONFIGURATION_DESCRIPTOR>(
        ExAllocatePoolWithTag(NonPagedPoolNx, totalLength, POOLTAG_USB));
    if (ConfigurationDescriptor == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(ConfigurationDescriptor, totalLength);
    status = GetDescriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, ConfigurationDescriptor, totalLength, &returned);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (returned != totalLength || ConfigurationDescriptor->wTotalLength != totalLength) {
        // A set that changed between the two reads cannot be walked safely either.
        UA_ERROR("configuration descriptor returned %lu of %lu bytes", (unsigned long)returned,
                 (unsigned long)totalLength);
        return STATUS_NOT_SUPPORTED;
    }
    ULONG badOffset = 0;
    status = ValidateConfigurationChain(reinterpret_cast<const UCHAR*>(ConfigurationDescriptor), totalLength, &badOffset);
    if (!NT_SUCCESS(status)) {
        UA_ERROR("configuration descriptor is malformed at offset %lu", (unsigned long)badOffset);
        return status;
    }

    UCHAR languageHeader[4] = {0, 0, 0, 0};
    status = GetDescriptor(USB_STRING_DESCRIPTOR_TYPE, 0, 0, languageHeader, sizeof(languageHeader), &returned);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (returned != sizeof(languageHeader)) {
        UA_ERROR("language id descriptor returned %lu bytes", (unsigned long)returned);
        return STATUS_NOT_SUPPORTED;
    }
    const ULONG languageLength = languageHeader[0];
    if (languageLength < 2) {
        UA_ERROR("language id descriptor bLength %lu", (unsigned long)languageLength);
        return STATUS_NOT_SUPPORTED;
    }
    LanguageIds = static_cast<PUSB_STRING_DESCRIPTOR>(ExAllocatePoolWithTag(NonPagedPoolNx, languageLength, POOLTAG_USB));
    if (LanguageIds == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(LanguageIds, languageLength);
    status = GetDescriptor(USB_STRING_DESCRIPTOR_TYPE, 0, 0, LanguageIds, languageLength, &returned);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    return STATUS_SUCCESS;
}

NTSTATUS CUSBCL::GetBusInterface() {
    return QueryBusInterface(TargetDevice, BUS_INTERFACE_V3_SIZE, USB_BUSIF_USBDI_VERSION_3,
                             reinterpret_cast<PINTERFACE>(&BusInterface));
}

ULONG CUSBCL::GetConfigurationLength() const {
    return ConfigurationDescriptor != NULL ? ConfigurationDescriptor->wTotalLength : 0;
}

PUSBD_INTERFACE_INFORMATION CUSBCL::GetInterface(LONG index) const {
    if (Interfaces == NULL || index < 0 || index >= InterfaceCount) {
        return NULL;
    }
    return Interfaces[index];
}

PURB CUSBCL::AllocateUrb(ULONG length, USHORT function) {
    PURB urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPoolNx, length, POOLTAG_USB));
    if (urb != NULL) {
        RtlZeroMemory(urb, length);
        urb->UrbHeader.Length = (USHORT)length;
        urb->UrbHeader.Function = function;
    }
    return urb;
}

NTSTATUS CUSBCL::GetDescriptor(UCHAR type, UCHAR index, USHORT languageId, PVOID buffer, ULONG length,
                               ULONG* returned) {
    *returned = 0;
    PURB urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), POOLTAG_USB));
    if (urb == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST));
    UsbBuildGetDescriptorRequest(urb, (USHORT)sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), type, index,
                                 languageId, buffer, NULL, length, NULL);
    NTSTATUS status = SubmitUrbSync(urb);
    if (NT_SUCCESS(status)) {
        *returned = urb->UrbControlDescriptorRequest.TransferBufferLength;
    } else {
        UA_ERROR("get descriptor type %u index %u failed 0x%08lx", type, index, (unsigned long)status);
    }
    ExFreePoolWithTag(urb, POOLTAG_USB);
    return status;
}

NTSTATUS CUSBCL::SubmitUrbSync(PURB urb) {
    KEVENT done;
    IO_STATUS_BLOCK ioStatus;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    ioStatus.Status = STATUS_SUCCESS;
    ioStatus.Information = 0;

    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, TargetDevice, NULL, 0, NULL, 0, TRUE,
                                             &done, &ioStatus);
    if (irp == NULL) {
        UA_ERROR("building the URB IRP failed");
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = urb;

    NTSTATUS status = IoCallDriver(TargetDevice, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
        status = ioStatus.Status;
    }
    if (!NT_SUCCESS(status)) {
        UA_ERROR("URB function 0x%04x failed 0x%08lx (URB status 0x%08lx)", urb->UrbHeader.Function,
                 (unsigned long)status, (unsigned long)urb->UrbHeader.Status);
    }
    return status;
}

PIRP CUSBCL::TakeIrp() {
    PIRP irp = NULL;
    KLOCK_QUEUE_HANDLE lockHandle;
    KeAcquireInStackQueuedSpinLock(&IrpLock, &lockHandle);
    if (!IsListEmpty(&FreeIrps)) {
        irp = CONTAINING_RECORD(RemoveHeadList(&FreeIrps), IRP, Tail.Overlay.ListEntry);
        --FreeIrpCount;
    }
    KeReleaseInStackQueuedSpinLock(&lockHandle);
    if (irp != NULL) {
        IoReuseIrp(irp, STATUS_SUCCESS);
        return irp;
    }
    irp = IoAllocateIrp(TargetDevice->StackSize, FALSE);
    if (irp == NULL) {
        UA_ERROR("no IRP for an asynchronous transfer");
    }
    return irp;
}

VOID CUSBCL::ReturnIrp(PIRP irp) {
    KLOCK_QUEUE_HANDLE lockHandle;
    KeAcquireInStackQueuedSpinLock(&IrpLock, &lockHandle);
    InsertTailList(&FreeIrps, &irp->Tail.Overlay.ListEntry);
    ++FreeIrpCount;
    KeReleaseInStackQueuedSpinLock(&lockHandle);
}

ULONG CUSBCL::GetFreeIrpCount() {
    KLOCK_QUEUE_HANDLE lockHandle;
    KeAcquireInStackQueuedSpinLock(&IrpLock, &lockHandle);
    const ULONG count = FreeIrpCount;
    KeReleaseInStackQueuedSpinLock(&lockHandle);
    return count;
}

NTSTATUS CUSBCL::SubmitUrbAsync(PURB urb, USB_TRANSFER_CONTEXT* context) {
    PIRP irp = TakeIrp();
    if (irp == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    const ULONG bufferBytes = urb->UrbHeader.Function == URB_FUNCTION_ISOCH_TRANSFER
                                  ? urb->UrbIsochronousTransfer.TransferBufferLength
                                  : urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
    // The outcome is reported through the completion routine in every case.
    SendUrbIrp(irp, urb, bufferBytes, UrbCompletion, context);
    return STATUS_SUCCESS;
}

VOID CUSBCL::SendUrbIrp(PIRP irp, PURB urb, ULONG bufferBytes, PIO_COMPLETION_ROUTINE routine,
                        USB_TRANSFER_CONTEXT* context) {
    context->Urb = urb;
    context->Owner = this;
    context->BufferBytes = bufferBytes;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    stack->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    stack->Parameters.Others.Argument1 = urb;
    IoSetCompletionRoutine(irp, routine, context, TRUE, TRUE, TRUE);
    IoCallDriver(TargetDevice, irp);
}

NTSTATUS CUSBCL::UrbCompletion(PDEVICE_OBJECT, PIRP irp, PVOID contextPointer) {
    USB_TRANSFER_CONTEXT* context = static_cast<USB_TRANSFER_CONTEXT*>(contextPointer);
    CUSBCL* self = context->Owner;
    PURB urb = context->Urb;
    const NTSTATUS irpStatus = irp->IoStatus.Status;
    const BOOLEAN isochronous = urb->UrbHeader.Function == URB_FUNCTION_ISOCH_TRANSFER;

    if (!NT_SUCCESS(irpStatus) && isochronous) {
        const struct _URB_ISOCH_TRANSFER& iso = urb->UrbIsochronousTransfer;
        ULONG frame = 0;
        if (urb->UrbHeader.Status == USBD_STATUS_ISOCH_REQUEST_FAILED) {
            self->QueryBusTime(&frame);
        }
        UA_ERROR("isochronous transfer failed 0x%08lx: URB status 0x%08lx, start frame %lu, packets %lu, "
                 "errors %lu, current frame %lu",
                 (unsigned long)irpStatus, (unsigned long)urb->UrbHeader.Status, (unsigned long)iso.StartFrame,
                 (unsigned long)iso.NumberOfPackets, (unsigned long)iso.ErrorCount, (unsigned long)frame);
        const ULONG reported = iso.NumberOfPackets < USB_MAX_ISO_PACKETS ? iso.NumberOfPackets : USB_MAX_ISO_PACKETS;
        for (ULONG i = 0; i < reported; ++i) {
            if (!USBD_SUCCESS(iso.IsoPacket[i].Status)) {
                UA_ERROR("  packet %lu status 0x%08lx", (unsigned long)i, (unsigned long)iso.IsoPacket[i].Status);
            }
        }
    }

    ULONG byteCount = 0;
    if (NT_SUCCESS(irpStatus)) {
        if (isochronous && (urb->UrbIsochronousTransfer.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0) {
            byteCount = PackIsoInPackets(&urb->UrbIsochronousTransfer, context->BufferBytes);
        } else {
            byteCount = urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
        }
    }

    self->OnTransferComplete(irpStatus, urb, context);

    if (isochronous) {
        self->FreeIsoUrb(urb);
    } else {
        ExFreePool(urb);
    }
    context->Urb = NULL;

    // The callback comes last: it may end the stream's last chain, after
    // which this object can go away.
    const PUSB_TRANSFER_CALLBACK callback = context->Callback;
    const PVOID userContext = context->UserContext;
    self->FreeTransferContext(context);
    self->ReturnIrp(irp);
    if (callback != NULL) {
        callback(irpStatus, byteCount, userContext);
    }
    return STATUS_MORE_PROCESSING_REQUIRED;
}

USB_TRANSFER_CONTEXT* CUSBCL::AllocateTransferContext() {
    USB_TRANSFER_CONTEXT* context = static_cast<USB_TRANSFER_CONTEXT*>(ExAllocateFromNPagedLookasideList(&ContextPool));
    if (context != NULL) {
        RtlZeroMemory(context, sizeof(*context));
        context->Owner = this;
    }
    return context;
}

VOID CUSBCL::FreeTransferContext(USB_TRANSFER_CONTEXT* context) {
    if (context->ExtraBuffer != NULL) {
        ExFreePool(context->ExtraBuffer);
        context->ExtraBuffer = NULL;
    }
    ExFreeToNPagedLookasideList(&ContextPool, context);
}

PURB CUSBCL::AllocateIsoUrb() {
    return static_cast<PURB>(ExAllocateFromNPagedLookasideList(&UrbPool));
}

VOID CUSBCL::FreeIsoUrb(PURB urb) {
    ExFreeToNPagedLookasideList(&UrbPool, urb);
}

PUSBD_INTERFACE_LIST_ENTRY CUSBCL::CreateInterfaceList(ULONG* count) {
    *count = ConfigurationDescriptor->bNumInterfaces;
    const SIZE_T bytes = (SIZE_T)(*count + 1) * sizeof(USBD_INTERFACE_LIST_ENTRY);
    PUSBD_INTERFACE_LIST_ENTRY list = static_cast<PUSBD_INTERFACE_LIST_ENTRY>(
        ExAllocatePoolWithTag(NonPagedPoolNx, bytes, POOLTAG_USB));
    if (list == NULL) {
        UA_ERROR("interface list allocation failed");
        return NULL;
    }
    RtlZeroMemory(list, bytes);
    ULONG used = 0;
    for (ULONG number = 0; number < *count; ++number) {
        PUSB_INTERFACE_DESCRIPTOR descriptor = USBD_ParseConfigurationDescriptorEx(
            ConfigurationDescriptor, ConfigurationDescriptor, (LONG)number, 0, -1, -1, -1);
        if (descriptor != NULL) {
            list[used].InterfaceDescriptor = descriptor;
            list[used].Interface = NULL;
            ++used;
        }
    }
    return list;
}

NTSTATUS CUSBCL::ConfigurationRequest(PUSBD_INTERFACE_LIST_ENTRY list, ULONG count) {
    PURB urb = USBD_CreateConfigurationRequestEx(ConfigurationDescriptor, list);
    if (urb == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    NTSTATUS status = SubmitUrbSync(urb);
    if (NT_SUCCESS(status)) {
        FreeInterfaces();
        ConfigurationHandle = urb->UrbSelectConfiguration.ConfigurationHandle;
        Interfaces = static_cast<PUSBD_INTERFACE_INFORMATION*>(
            ExAllocatePoolWithTag(NonPagedPoolNx, (SIZE_T)count * sizeof(PUSBD_INTERFACE_INFORMATION), POOLTAG_USB));
        if (Interfaces == NULL) {
            status = STATUS_INSUFFICIENT_RESOURCES;
        } else {
            RtlZeroMemory(Interfaces, (SIZE_T)count * sizeof(PUSBD_INTERFACE_INFORMATION));
            InterfaceCount = (LONG)count;
            for (ULONG i = 0; i < count && list[i].InterfaceDescriptor != NULL; ++i) {
                PUSBD_INTERFACE_INFORMATION returned = list[i].Interface;
                if (returned == NULL || returned->Length < FIELD_OFFSET(USBD_INTERFACE_INFORMATION, Pipes)) {
                    continue;
                }
                Interfaces[i] = static_cast<PUSBD_INTERFACE_INFORMATION>(
                    ExAllocatePoolWithTag(NonPagedPoolNx, returned->Length, POOLTAG_USB));
                if (Interfaces[i] == NULL) {
                    status = STATUS_INSUFFICIENT_RESOURCES;
                    break;
                }
                RtlCopyMemory(Interfaces[i], returned, returned->Length);
            }
        }
    }
    ExFreePool(urb);
    return status;
}

NTSTATUS CUSBCL::SelectAlternate(UCHAR interfaceNumber, UCHAR alternateSetting) {
    LONG slot = -1;
    for (LONG i = 0; i < InterfaceCount; ++i) {
        if (Interfaces[i] != NULL && Interfaces[i]->InterfaceNumber == interfaceNumber) {
            slot = i;
            break;
        }
    }
    if (slot < 0) {
        UA_ERROR("select alternate: interface %u is not configured", interfaceNumber);
        return STATUS_INVALID_PARAMETER;
    }
    PUSB_INTERFACE_DESCRIPTOR descriptor = USBD_ParseConfigurationDescriptorEx(
        ConfigurationDescriptor, ConfigurationDescriptor, interfaceNumber, alternateSetting, -1, -1, -1);
    if (descriptor == NULL) {
        UA_ERROR("select alternate: interface %u has no alternate %u", interfaceNumber, alternateSetting);
        return STATUS_INVALID_PARAMETER;
    }
    const ULONG urbLength = (ULONG)GET_SELECT_INTERFACE_REQUEST_SIZE(descriptor->bNumEndpoints);
    PURB urb = AllocateUrb(urbLength, URB_FUNCTION_SELECT_INTERFACE);
    if (urb == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    urb->UrbSelectInterface.ConfigurationHandle = ConfigurationHandle;
    PUSBD_INTERFACE_INFORMATION request = &urb->UrbSelectInterface.Interface;
    request->Length = (USHORT)(urbLength - FIELD_OFFSET(struct _URB_SELECT_INTERFACE, Interface));
    request->InterfaceNumber = interfaceNumber;
    request->AlternateSetting = alternateSetting;

    NTSTATUS status = SubmitUrbSync(urb);
    if (NT_SUCCESS(status)) {
        const ULONG returnedLength = request->Length;
        if (returnedLength < FIELD_OFFSET(USBD_INTERFACE_INFORMATION, Pipes) ||
            returnedLength > urbLength - FIELD_OFFSET(struct _URB_SELECT_INTERFACE, Interface)) {
            status = STATUS_UNSUCCESSFUL;
        } else {
            PUSBD_INTERFACE_INFORMATION copy = static_cast<PUSBD_INTERFACE_INFORMATION>(
                ExAllocatePoolWithTag(NonPagedPoolNx, returnedLength, POOLTAG_USB));
            if (copy == NULL) {
                status = STATUS_INSUFFICIENT_RESOURCES;
            } else {
                RtlCopyMemory(copy, request, returnedLength);
                ExFreePoolWithTag(Interfaces[slot], POOLTAG_USB);
                Interfaces[slot] = copy;
            }
        }
    }
    ExFreePoolWithTag(urb, POOLTAG_USB);
    return status;
}

PUSBD_PIPE_INFORMATION CUSBCL::FindPipe(UCHAR endpointAddress) {
    PUSBD_PIPE_INFORMATION found = NULL;
    for (LONG i = 0; i < InterfaceCount; ++i) {
        PUSBD_INTERFACE_INFORMATION info = Interfaces[i];
        if (info == NULL) {
            continue;
        }
        // Never trust NumberOfPipes beyond what the copy holds.
        const ULONG room = (info->Length - FIELD_OFFSET(USBD_INTERFACE_INFORMATION, Pipes)) / sizeof(USBD_PIPE_INFORMATION);
        const ULONG pipes = info->NumberOfPipes < room ? info->NumberOfPipes : room;
        for (ULONG p = 0; p < pipes; ++p) {
            if (info->Pipes[p].EndpointAddress == endpointAddress) {
                found = &info->Pipes[p];
                break;
            }
        }
    }
    return found;
}

NTSTATUS CUSBCL::ControlRequest(UCHAR bmRequestType, UCHAR bRequest, USHORT wValue, USHORT wIndex, USHORT wLength,
                                PVOID data, PULONG transferred) {
    if (transferred != NULL) {
        *transferred = 0;
    }
    const UCHAR type = (bmRequestType >> 5) & 0x03;
    const UCHAR recipient = bmRequestType & 0x1F;
    if (type == 0 || type == 3 || recipient > 3 || (wLength != 0 && data == NULL)) {
        UA_ERROR("control request 0x%02x/0x%02x rejected", bmRequestType, bRequest);
        return STATUS_INVALID_PARAMETER;
    }
    static const USHORT classFunctions[4] = {URB_FUNCTION_CLASS_DEVICE, URB_FUNCTION_CLASS_INTERFACE,
                                             URB_FUNCTION_CLASS_ENDPOINT, URB_FUNCTION_CLASS_OTHER};
    static const USHORT vendorFunctions[4] = {URB_FUNCTION_VENDOR_DEVICE, URB_FUNCTION_VENDOR_INTERFACE,
                                              URB_FUNCTION_VENDOR_ENDPOINT, URB_FUNCTION_VENDOR_OTHER};
    const USHORT function = type == 1 ? classFunctions[recipient] : vendorFunctions[recipient];

    const ULONG urbLength = sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
    PURB urb = AllocateUrb(urbLength, function);
    if (urb == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST& request = urb->UrbControlVendorClassRequest;
    request.TransferFlags = (bmRequestType & 0x80) != 0 ? USBD_TRANSFER_DIRECTION_IN : USBD_TRANSFER_DIRECTION_OUT;
    request.TransferBuffer = data;
    request.TransferBufferLength = wLength;
    request.RequestTypeReservedBits = 0;
    request.Request = bRequest;
    request.Value = wValue;
    request.Index = wIndex;
    NTSTATUS status = SubmitUrbSync(urb);
    if (NT_SUCCESS(status) && transferred != NULL) {
        // Never report more than was asked for, whatever the stack says.
        *transferred = request.TransferBufferLength < wLength ? request.TransferBufferLength : wLength;
    }
    ExFreePoolWithTag(urb, POOLTAG_USB);
    return status;
}

NTSTATUS CUSBCL::GetStringDescriptor(UCHAR index, PVOID buffer) {
    if (buffer == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    ULONG returned = 0;
    return GetDescriptor(USB_STRING_DESCRIPTOR_TYPE, index, USB_LANGUAGE_ENGLISH_US, buffer, USB_STRING_BUFFER_BYTES,
                         &returned);
}

NTSTATUS CUSBCL::PipeRequest(PUSBD_PIPE_INFORMATION pipe, USHORT function) {
    if (pipe == NULL || pipe->PipeHandle == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        return STATUS_UNSUCCESSFUL;
    }
    const ULONG urbLength = sizeof(struct _URB_PIPE_REQUEST);
    PURB urb = AllocateUrb(urbLength, function);
    if (urb == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    urb->UrbPipeRequest.PipeHandle = pipe->PipeHandle;
    NTSTATUS status = SubmitUrbSync(urb);
    ExFreePoolWithTag(urb, POOLTAG_USB);
    return status;
}

NTSTATUS CUSBCL::ResetPipe(PUSBD_PIPE_INFORMATION pipe) {
    return PipeRequest(pipe, URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL);
}

NTSTATUS CUSBCL::AbortPipe(PUSBD_PIPE_INFORMATION pipe) {
    return PipeRequest(pipe, URB_FUNCTION_ABORT_PIPE);
}

NTSTATUS CUSBCL::QueryBusTime(PULONG frame) {
    *frame = 0;
    if (BusInterface.QueryBusTime == NULL) {
        return STATUS_UNSUCCESSFUL;
    }
    return BusInterface.QueryBusTime(BusInterface.BusContext, frame);
}
