#!/usr/bin/env python3
"""Checks that platform/include matches mingw-w64's SDK/DDK headers.

Builds ddk_probe.cpp natively against platform/include and runs it to print
sizes, alignments, offsets and constant values; then compiles the same probe
with x86_64-w64-mingw32-g++-posix against the real DDK headers, where every
printed value becomes a static_assert. Also checks function signatures.
Usage: check_ddk_layout.py [--keep DIR]. Exit status 0 when everything matches.
"""
import os, re, shutil, subprocess, sys, tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
INCLUDE = os.path.join(os.path.dirname(HERE), "include")
MINGW = "x86_64-w64-mingw32-g++-posix"
DDK = "/usr/x86_64-w64-mingw32/include/ddk"

STRUCTS = {
    "IRP": "Type Size MdlAddress Flags AssociatedIrp ThreadListEntry IoStatus RequestorMode "
           "PendingReturned StackCount CurrentLocation Cancel CancelIrql ApcEnvironment "
           "AllocationFlags UserIosb UserEvent Overlay CancelRoutine UserBuffer Tail "
           "Tail.Overlay.DriverContext Tail.Overlay.Thread Tail.Overlay.AuxiliaryBuffer "
           "Tail.Overlay.ListEntry Tail.Overlay.CurrentStackLocation Tail.Overlay.OriginalFileObject "
           "Tail.Apc Tail.CompletionKey",
    "IO_STACK_LOCATION": "MajorFunction MinorFunction Flags Control Parameters "
           "Parameters.DeviceIoControl.OutputBufferLength Parameters.DeviceIoControl.InputBufferLength "
           "Parameters.DeviceIoControl.IoControlCode Parameters.DeviceIoControl.Type3InputBuffer "
           "Parameters.QueryInterface.InterfaceType Parameters.QueryInterface.Size "
           "Parameters.QueryInterface.Version Parameters.QueryInterface.Interface "
           "Parameters.QueryInterface.InterfaceSpecificData Parameters.Power.Type "
           "Parameters.Power.State Parameters.Power.ShutdownType Parameters.StartDevice.AllocatedResourcesTranslated "
           "Parameters.QueryId.IdType Parameters.QueryDeviceText.LocaleId Parameters.UsageNotification.Type "
           "Parameters.Read.ByteOffset Parameters.Create.EaLength Parameters.WMI.Buffer "
           "Parameters.Others.Argument1 Parameters.Others.Argument4 DeviceObject FileObject CompletionRoutine Context",
    "DEVICE_OBJECT": "Type Size ReferenceCount DriverObject NextDevice AttachedDevice CurrentIrp Timer Flags "
           "Characteristics Vpb DeviceExtension DeviceType StackSize Queue AlignmentRequirement DeviceQueue Dpc "
           "ActiveThreadCount SecurityDescriptor DeviceLock SectorSize Spare1 DeviceObjectExtension Reserved",
    "DRIVER_OBJECT": "Type Size DeviceObject Flags DriverStart DriverSize DriverSection DriverExtension "
           "DriverName HardwareDatabase FastIoDispatch DriverInit DriverStartIo DriverUnload MajorFunction",
    "DRIVER_EXTENSION": "DriverObject AddDevice Count ServiceKeyName",
    "DEVOBJ_EXTENSION": "DeviceObject",
    "IO_STATUS_BLOCK": "Status Pointer Information",
    "DISPATCHER_HEADER": "Type Lock SignalState WaitListHead",
    "KEVENT": "Header", "KSEMAPHORE": "Header Limit",
    "KMUTEX": "Header MutantListEntry OwnerThread Abandoned ApcDisable",
    "KTIMER": "Header DueTime TimerListEntry Dpc Processor Period",
    "KDPC": "Type Importance Number DpcListEntry DeferredRoutine DeferredContext SystemArgument1 SystemArgument2 DpcData",
    "KAPC": "Thread ApcListEntry KernelRoutine NormalRoutine SystemArgument2 ApcStateIndex ApcMode Inserted",
    "KDEVICE_QUEUE": "Type Size DeviceListHead Lock Busy",
    "KDEVICE_QUEUE_ENTRY": "DeviceListEntry SortKey Inserted",
    "WAIT_CONTEXT_BLOCK": "WaitQueueEntry DeviceRoutine DeviceContext NumberOfMapRegisters DeviceObject CurrentIrp BufferChainingDpc",
    "KWAIT_BLOCK": "WaitListEntry Thread Object NextWaitBlock WaitKey WaitType BlockState",
    "KSPIN_LOCK_QUEUE": "Next Lock", "KLOCK_QUEUE_HANDLE": "LockQueue OldIrql",
    "GENERAL_LOOKASIDE": "ListHead Depth MaximumDepth TotalAllocates AllocateMisses TotalFrees FreeMisses "
           "Type Tag Size Allocate Free ListEntry LastTotalAllocates LastAllocateMisses Future",
    "NPAGED_LOOKASIDE_LIST": "L",
    "LIST_ENTRY": "Flink Blink", "SINGLE_LIST_ENTRY": "Next", "SLIST_HEADER": "", "SLIST_ENTRY": "Next",
    "LARGE_INTEGER": "LowPart HighPart QuadPart", "ULARGE_INTEGER": "QuadPart",
    "UNICODE_STRING": "Length MaximumLength Buffer", "ANSI_STRING": "Length MaximumLength Buffer",
    "GUID": "Data1 Data2 Data3 Data4",
    "INTERFACE": "Size Version Context InterfaceReference InterfaceDereference",
    "DEVICE_CAPABILITIES": "Size Version Address UINumber DeviceState SystemWake DeviceWake D1Latency D3Latency",
    "DEVICE_RELATIONS": "Count Objects", "POWER_STATE": "", "SYSTEM_POWER_STATE_CONTEXT": "ContextAsUlong",
    "MDL": "Next Size MdlFlags Process MappedSystemVa StartVa ByteCount ByteOffset",
    "USB_COMMON_DESCRIPTOR": "bLength bDescriptorType",
    "USB_DEVICE_DESCRIPTOR": "bcdUSB bMaxPacketSize0 idVendor idProduct bcdDevice iSerialNumber bNumConfigurations",
    "USB_CONFIGURATION_DESCRIPTOR": "wTotalLength bNumInterfaces bConfigurationValue bmAttributes MaxPower",
    "USB_INTERFACE_DESCRIPTOR": "bInterfaceNumber bAlternateSetting bNumEndpoints bInterfaceClass iInterface",
    "USB_ENDPOINT_DESCRIPTOR": "bEndpointAddress bmAttributes wMaxPacketSize bInterval",
    "USB_STRING_DESCRIPTOR": "bString", "USB_INTERFACE_ASSOCIATION_DESCRIPTOR": "bFirstInterface iFunction",
    "USB_DEVICE_QUALIFIER_DESCRIPTOR": "bNumConfigurations bReserved",
    "USB_DEFAULT_PIPE_SETUP_PACKET": "bmRequestType bRequest wValue wIndex wLength",
    "BM_REQUEST_TYPE": "B", "USB_HIGH_SPEED_MAXPACKET": "us",
    "USBD_VERSION_INFORMATION": "USBDI_Version Supported_USB_Version",
    "USBD_PIPE_INFORMATION": "MaximumPacketSize EndpointAddress Interval PipeType PipeHandle MaximumTransferSize PipeFlags",
    "USBD_INTERFACE_INFORMATION": "Length InterfaceNumber AlternateSetting Class SubClass Protocol Reserved "
           "InterfaceHandle NumberOfPipes Pipes",
    "USBD_ISO_PACKET_DESCRIPTOR": "Offset Length Status",
    "USBD_INTERFACE_LIST_ENTRY": "InterfaceDescriptor Interface",
    "struct _URB_HCD_AREA": "Reserved8",
    "struct _URB_HEADER": "Length Function Status UsbdDeviceHandle UsbdFlags",
    "struct _URB_SELECT_INTERFACE": "ConfigurationHandle Interface",
    "struct _URB_SELECT_CONFIGURATION": "ConfigurationDescriptor ConfigurationHandle Interface",
    "struct _URB_PIPE_REQUEST": "PipeHandle Reserved",
    "struct _URB_FRAME_LENGTH_CONTROL": "", "struct _URB_GET_FRAME_LENGTH": "FrameLength FrameNumber",
    "struct _URB_SET_FRAME_LENGTH": "FrameLengthDelta", "struct _URB_GET_CURRENT_FRAME_NUMBER": "FrameNumber",
    "struct _URB_CONTROL_DESCRIPTOR_REQUEST": "TransferBufferLength TransferBuffer TransferBufferMDL UrbLink hca "
           "Index DescriptorType LanguageId Reserved2",
    "struct _URB_CONTROL_GET_STATUS_REQUEST": "TransferBufferLength TransferBuffer Index",
    "struct _URB_CONTROL_FEATURE_REQUEST": "UrbLink FeatureSelector Index",
    "struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST": "TransferFlags TransferBufferLength TransferBuffer "
           "TransferBufferMDL UrbLink hca RequestTypeReservedBits Request Value Index Reserved1",
    "struct _URB_CONTROL_GET_INTERFACE_REQUEST": "Interface",
    "struct _URB_CONTROL_GET_CONFIGURATION_REQUEST": "Reserved1",
    "struct _URB_CONTROL_TRANSFER": "PipeHandle TransferFlags TransferBufferLength TransferBuffer hca SetupPacket",
    "struct _URB_CONTROL_TRANSFER_EX": "Timeout hca SetupPacket",
    "struct _URB_BULK_OR_INTERRUPT_TRANSFER": "PipeHandle TransferFlags TransferBufferLength TransferBuffer "
           "TransferBufferMDL UrbLink hca",
    "struct _URB_ISOCH_TRANSFER": "PipeHandle TransferFlags TransferBufferLength TransferBuffer TransferBufferMDL "
           "UrbLink hca StartFrame NumberOfPackets ErrorCount IsoPacket",
    "URB": "UrbHeader UrbSelectInterface UrbIsochronousTransfer UrbControlVendorClassRequest",
    "USB_BUS_INTERFACE_USBDI_V0": "Size Version BusContext InterfaceReference InterfaceDereference "
           "GetUSBDIVersion QueryBusTime SubmitIsoOutUrb QueryBusInformation",
    "USB_BUS_INTERFACE_USBDI_V1": "QueryBusInformation IsDeviceHighSpeed",
    "USB_BUS_INTERFACE_USBDI_V2": "IsDeviceHighSpeed EnumLogEntry",
    "USB_BUS_INTERFACE_USBDI_V3": "IsDeviceHighSpeed EnumLogEntry QueryBusTimeEx QueryControllerType",
    "USB_BUS_INFORMATION_LEVEL_0": "TotalBandwidth ConsumedBandwidth",
    "USB_BUS_INFORMATION_LEVEL_1": "ControllerNameLength ControllerNameUnicodeString",
    "KAPC_STATE": "ApcListHead Process KernelApcInProgress KernelApcPending UserApcPending",
}
SCALARS = ("CHAR UCHAR SHORT USHORT LONG ULONG LONG64 ULONG64 LONGLONG ULONGLONG ULONG_PTR LONG_PTR SIZE_T "
           "PVOID HANDLE BOOLEAN CCHAR CSHORT WCHAR NTSTATUS KIRQL KPROCESSOR_MODE KPRIORITY KSPIN_LOCK "
           "POOL_TYPE EVENT_TYPE WAIT_TYPE KWAIT_REASON USBD_STATUS USBD_PIPE_TYPE DEVICE_POWER_STATE")
EXPRESSIONS = [
    "GET_SELECT_CONFIGURATION_REQUEST_SIZE(2, 5)", "GET_SELECT_CONFIGURATION_REQUEST_SIZE(1, 1)",
    "GET_SELECT_INTERFACE_REQUEST_SIZE(1)", "GET_SELECT_INTERFACE_REQUEST_SIZE(3)",
    "GET_USBD_INTERFACE_SIZE(0)", "GET_USBD_INTERFACE_SIZE(2)", "GET_ISO_URB_SIZE(1)", "GET_ISO_URB_SIZE(40)",
    "IoSizeOfIrp(3)", "CTL_CODE(FILE_DEVICE_KS, 0x123, METHOD_NEITHER, FILE_ANY_ACCESS)",
    "NonPagedPool", "NonPagedPoolNx", "PagedPool", "NotificationEvent", "SynchronizationEvent",
    "WaitAll", "WaitAny", "Executive", "KernelMode", "UserMode", "UsbdPipeTypeIsochronous", "UsbdPipeTypeInterrupt",
    "BusQueryInstanceID", "DeviceTextLocationInformation", "PowerDeviceD3", "PowerSystemMaximum",
    "DevicePowerState", "PowerActionShutdownOff", "TargetDeviceRelation", "DPFLTR_IHVAUDIO_ID",
    "DPFLTR_IHVDRIVER_ID", "DPFLTR_DEFAULT_ID", "UsbHighSpeed",
]
# Constants scanned from our headers; a few names exist only on one side.
PREFIXES = ("STATUS_", "URB_FUNCTION_", "USBD_", "USB_", "IOCTL_INTERNAL_USB_", "IRP_", "SL_", "METHOD_",
            "FILE_", "DO_", "DPFLTR_", "IO_TYPE_", "IO_NO_", "IO_SOUND", "MAXIMUM_WAIT", "THREAD_WAIT",
            "EX_MAXIMUM", "NTSTRSAFE_MAX", "BMREQUEST_", "PASSIVE_LEVEL", "APC_LEVEL", "DISPATCH_LEVEL",
            "HIGH_LEVEL", "SYNCH_LEVEL", "PROFILE_LEVEL", "CLOCK_LEVEL", "IPI_LEVEL", "POWER_LEVEL",
            "MAXIMUM_USB", "EVENT_INCREMENT", "EVENT_QUERY_STATE", "EVENT_MODIFY_STATE", "EVENT_ALL_ACCESS", "POOL_", "ANYSIZE_ARRAY", "MAXLONG", "MAXULONG")
SKIP = {"USB_BUSIFFN", "USBD_PORT_ENABLED", "USBD_PORT_CONNECTED", "USB_ENDPOINT_DIRECTION_OUT",
        "USB_ENDPOINT_DIRECTION_IN", "USBDI_VERSION", "FILE_DEVICE_USB",
        "USBD_TRANSFER_DIRECTION_FLAG", "USBD_SUCCESS", "USBD_PENDING", "USBD_ERROR", "URB_STATUS",
        "USBD_PIPE_DIRECTION_IN", "USBD_TRANSFER_DIRECTION", "IRP_ALLOCATED_FIXED_SIZE", "IRP_LOOKASIDE_ALLOCATION",
        "IRP_ALLOCATED_MUST_SUCCEED", "IRP_QUOTA_CHARGED", "POOL_RAISE_IF_ALLOCATION_FAILURE",
        "POOL_COLD_ALLOCATION", "POOL_NX_ALLOCATION", "POOL_ZERO_ALLOCATION"}


# User-mode headers: checked by check_sdk_layout.py against the SDK instead.
USER_MODE_HEADERS = set(("winnt winerror minwinbase errhandlingapi handleapi synchapi processthreadsapi "
                         "libloaderapi sysinfoapi debugapi fileapi ioapiset winbase winreg strsafe setupapi "
                         "cfgmgr32 dbt avrt mmsystem unknwn objbase windows").split())


def scan_constants():
    names = []
    for root, _, files in os.walk(INCLUDE):
        for f in sorted(files):
            if f[:-2] in USER_MODE_HEADERS:
                continue
            for line in open(os.path.join(root, f)):
                m = re.match(r"#define ([A-Z_][A-Z0-9_]*)\s+(\S.*)$", line)
                if not m or not m.group(1).startswith(PREFIXES) or m.group(1) in SKIP:
                    continue
                if m.group(2).startswith("\\") or "##" in m.group(2):
                    continue
                names.append(m.group(1))
    return sorted(set(names))


def items():
    out = []
    for t in SCALARS.split():
        out.append(f"SZ({t})")
    for t, fields in STRUCTS.items():
        out.append(f"SZ({t})")
        for f in fields.split():
            out.append(f"OFF({t}, {f})")
    for e in EXPRESSIONS + scan_constants():
        out.append(f"P({e})")
    return "\n".join(out) + "\n"


def main():
    keep = sys.argv[2] if len(sys.argv) > 2 and sys.argv[1] == "--keep" else None
    work = keep or tempfile.mkdtemp(prefix="ddk_probe_")
    os.makedirs(work, exist_ok=True)
    shutil.copy(os.path.join(HERE, "ddk_probe.cpp"), work)
    open(os.path.join(work, "ddk_probe_items.inc"), "w").write(items())
    host_exe = os.path.join(work, "probe_host")
    host = ["g++", "-std=c++17", "-fshort-wchar", "-Wall", "-Wextra", "-Werror", "-Wno-multichar", "-I", INCLUDE,
            "-I", work, os.path.join(work, "ddk_probe.cpp")]
    subprocess.run(host + ["-DDDK_PROBE_NO_SIGNATURES", "-o", host_exe], check=True)
    expected = subprocess.run([host_exe], check=True, capture_output=True, text=True).stdout
    open(os.path.join(work, "ddk_expected.inc"), "w").write(expected)
    subprocess.run(host + ["-fsyntax-only", "-DDDK_PROBE_VERIFY"], check=True)  # our signatures
    result = subprocess.run([MINGW, "-std=c++17", "-fsyntax-only", "-DDDK_PROBE_VERIFY", "-I", DDK, "-I", work,
                             "-fno-exceptions", "-fno-rtti", "-Wno-multichar", "-D_AMD64_", "-D_WIN64",
                             "-DNTDDI_VERSION=0x0A000000", "-D_WIN32_WINNT=0x0A00",
                             "-D__INTRINSIC_DEFINED_InterlockedBitTestAndSet",
                             "-D__INTRINSIC_DEFINED_InterlockedBitTestAndReset",
                             os.path.join(work, "ddk_probe.cpp")], capture_output=True, text=True)
    count = expected.count("CHECK(")
    if result.returncode != 0:
        errors = [l for l in result.stderr.splitlines() if "error" in l]
        print("\n".join(errors[:200]))
        print(f"DDK layout check: {len(errors)} mismatches among {count} probed values ({work})")
        return 1
    print(f"DDK layout check: {count} values and all signatures match mingw-w64's headers")
    if not keep:
        shutil.rmtree(work)
    return 0


if __name__ == "__main__":
    sys.exit(main())
