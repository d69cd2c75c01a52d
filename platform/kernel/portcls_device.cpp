// The port library's adapter-driver side: PcInitializeAdapterDriver and
// PcAddAdapterDevice, the dispatch routines it installs (plug and play,
// power, create, close, device control), subdevice registration as device
// interfaces, adapter power management.
#include <wdm.h>
#include <ksmedia.h>

#include <cstdlib>
#include <new>

#include "platform/kernel/device_interfaces.h"
#include "platform/kernel/portcls_internal.h"

namespace platform::portcls {

namespace {

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS NTAPI SignalForward(PDEVICE_OBJECT, PIRP, PVOID context) {
  KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends the IRP down and takes it back when the lower driver completed it.
NTSTATUS ForwardAndWait(PortDevice* d, PIRP irp) {
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IoCopyCurrentIrpStackLocationToNext(irp);
  IoSetCompletionRoutine(irp, SignalForward, &done, TRUE, TRUE, TRUE);
  if (IoCallDriver(d->lower, irp) == STATUS_PENDING)
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
  return irp->IoStatus.Status;
}

NTSTATUS PassDown(PortDevice* d, PIRP irp) {
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(d->lower, irp);
}

// Every subdevice's miniport that wants power notifications gets them.
void NotifyMiniports(PortDevice* d, DEVICE_POWER_STATE state) {
  std::vector<CPortWaveCyclic*> ports;
  {
    std::lock_guard<std::mutex> lock(d->lock);
    for (auto& s : d->subdevices) {
      s.port->AddRef();
      ports.push_back(s.port);
    }
  }
  POWER_STATE ps;
  ps.DeviceState = state;
  for (CPortWaveCyclic* port : ports) {
    PPOWERNOTIFY notify = NULL;
    if (port->Miniport() &&
        NT_SUCCESS(port->Miniport()->QueryInterface(IID_IPowerNotify, reinterpret_cast<PVOID*>(&notify))) && notify) {
      notify->PowerChangeNotify(ps);
      notify->Release();
    }
    port->Release();
  }
}

void AdapterPowerChange(PortDevice* d, DEVICE_POWER_STATE state) {
  PADAPTERPOWERMANAGEMENT power;
  {
    std::lock_guard<std::mutex> lock(d->lock);
    power = d->power;
    if (power) power->AddRef();
  }
  if (!power) return;
  POWER_STATE ps;
  ps.DeviceState = state;
  power->PowerChangeState(ps);
  power->Release();
}

// Going down: miniports, then the adapter, then the bus. Going up: the
// reverse (the caller forwards to the bus first).
void ChangeDevicePower(PortDevice* d, DEVICE_POWER_STATE state) {
  if (state > d->powerState) {
    NotifyMiniports(d, state);
    AdapterPowerChange(d, state);
  } else if (state < d->powerState) {
    AdapterPowerChange(d, state);
    NotifyMiniports(d, state);
  }
  d->powerState = state;
}

NTSTATUS DispatchPnp(PDEVICE_OBJECT fdo, PIRP irp) {
  PortDevice* d = DeviceOf(fdo);
  PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
  switch (sp->MinorFunction) {
    case IRP_MN_START_DEVICE: {
      NTSTATUS status = ForwardAndWait(d, irp);
      if (NT_SUCCESS(status)) {
        PRESOURCELIST resources = NewEmptyResourceList();
        if (!resources) return Complete(irp, STATUS_INSUFFICIENT_RESOURCES);
        status = d->start(fdo, irp, resources);
        resources->Release();
        if (NT_SUCCESS(status)) {
          d->started = true;
          d->powerState = PowerDeviceD0;
        } else {
          ReleaseStartedState(d);
        }
      }
      return Complete(irp, status);
    }
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE: {
      bool busy;
      {
        std::lock_guard<std::mutex> lock(d->lock);
        busy = d->openFiles > 0;
      }
      if (busy) return Complete(irp, STATUS_DEVICE_BUSY);
      irp->IoStatus.Status = STATUS_SUCCESS;
      return PassDown(d, irp);
    }
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
      irp->IoStatus.Status = STATUS_SUCCESS;
      return PassDown(d, irp);
    case IRP_MN_STOP_DEVICE:
      ReleaseStartedState(d);
      d->started = false;
      irp->IoStatus.Status = STATUS_SUCCESS;
      return PassDown(d, irp);
    case IRP_MN_SURPRISE_REMOVAL: {
      std::vector<UNICODE_STRING> links;
      {
        std::lock_guard<std::mutex> lock(d->lock);
        d->surpriseRemoved = true;
        for (auto& s : d->subdevices) links.insert(links.end(), s.links.begin(), s.links.end());
      }
      for (auto& link : links) IoSetDeviceInterfaceState(&link, FALSE);
      irp->IoStatus.Status = STATUS_SUCCESS;
      return PassDown(d, irp);
    }
    case IRP_MN_REMOVE_DEVICE: {
      ULONG open;
      {
        std::lock_guard<std::mutex> lock(d->lock);
        open = d->openFiles;
      }
      if (open)
        detail::BugCheckAt(USBAUDIO_CALLER(), "PORTCLS_REMOVE_WITH_OPEN_FILES",
                           "IRP_MN_REMOVE_DEVICE for %p with %u files still open", static_cast<void*>(fdo), open);
      ReleaseStartedState(d);
      irp->IoStatus.Status = STATUS_SUCCESS;
      PDEVICE_OBJECT lower = d->lower;
      NTSTATUS status = PassDown(d, irp);
      IoDetachDevice(lower);
      d->~PortDevice();
      ExFreePoolWithTag(d, kTagDevice);
      *static_cast<PortDevice**>(fdo->DeviceExtension) = nullptr;
      IoDeleteDevice(fdo);
      return status;
    }
    case IRP_MN_QUERY_CAPABILITIES: {
      NTSTATUS status = ForwardAndWait(d, irp);
      PADAPTERPOWERMANAGEMENT power;
      {
        std::lock_guard<std::mutex> lock(d->lock);
        power = d->power;
        if (power) power->AddRef();
      }
      if (power) {
        if (NT_SUCCESS(status)) status = power->QueryDeviceCapabilities(sp->Parameters.DeviceCapabilities.Capabilities);
        power->Release();
      }
      return Complete(irp, status, irp->IoStatus.Information);
    }
    default:
      return PassDown(d, irp);
  }
}

NTSTATUS DispatchPower(PDEVICE_OBJECT fdo, PIRP irp) {
  PortDevice* d = DeviceOf(fdo);
  PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
  DEVICE_POWER_STATE target = sp->Parameters.Power.State.DeviceState;
  if (sp->Parameters.Power.Type == SystemPowerState)
    target = sp->Parameters.Power.State.SystemState == PowerSystemWorking ? PowerDeviceD0 : PowerDeviceD3;
  if (target < PowerDeviceD0 || target > PowerDeviceD3) return PassDown(d, irp);
  if (sp->MinorFunction == IRP_MN_QUERY_POWER) {
    PADAPTERPOWERMANAGEMENT power;
    {
      std::lock_guard<std::mutex> lock(d->lock);
      power = d->power;
      if (power) power->AddRef();
    }
    NTSTATUS status = STATUS_SUCCESS;
    if (power) {
      POWER_STATE ps;
      ps.DeviceState = target;
      status = power->QueryPowerChangeState(ps);
      power->Release();
    }
    if (!NT_SUCCESS(status)) return Complete(irp, status);
    irp->IoStatus.Status = STATUS_SUCCESS;
    return PassDown(d, irp);
  }
  if (sp->MinorFunction != IRP_MN_SET_POWER) return PassDown(d, irp);
  if (target > d->powerState) {  // down: the device first, then the bus
    ChangeDevicePower(d, target);
    irp->IoStatus.Status = STATUS_SUCCESS;
    return PassDown(d, irp);
  }
  NTSTATUS status = STATUS_SUCCESS;
  if (target < d->powerState) {  // up: the bus first
    irp->IoStatus.Status = STATUS_SUCCESS;
    status = ForwardAndWait(d, irp);
    if (NT_SUCCESS(status)) ChangeDevicePower(d, target);
    return Complete(irp, status);
  }
  irp->IoStatus.Status = STATUS_SUCCESS;
  return PassDown(d, irp);
}

NTSTATUS DispatchCreate(PDEVICE_OBJECT fdo, PIRP irp) {
  PortDevice* d = DeviceOf(fdo);
  PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
  NTSTATUS status;
  if (!file) {
    status = STATUS_INVALID_PARAMETER;
  } else if (d->surpriseRemoved) {
    status = STATUS_DELETE_PENDING;
  } else if (!d->started) {
    status = STATUS_DEVICE_NOT_READY;
  } else if (file->RelatedFileObject) {
    status = KindOf(file->RelatedFileObject) == ObjectKind::Filter ? CreatePin(FilterOf(file->RelatedFileObject), file)
                                                                    : STATUS_INVALID_DEVICE_REQUEST;
  } else {
    status = CreateFilter(d, file);
  }
  if (NT_SUCCESS(status)) {
    std::lock_guard<std::mutex> lock(d->lock);
    d->openFiles++;
  }
  return Complete(irp, status);
}

NTSTATUS DispatchClose(PDEVICE_OBJECT fdo, PIRP irp) {
  PortDevice* d = DeviceOf(fdo);
  PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
  ObjectKind kind = KindOf(file);
  if (kind == ObjectKind::Pin) ClosePin(PinOf(file));
  if (kind == ObjectKind::Filter) CloseFilter(FilterOf(file));
  if (kind == ObjectKind::Pin || kind == ObjectKind::Filter) {
    file->FsContext = file->FsContext2 = NULL;
    std::lock_guard<std::mutex> lock(d->lock);
    d->openFiles--;
  }
  return Complete(irp, STATUS_SUCCESS);
}

NTSTATUS DispatchDeviceControl(PDEVICE_OBJECT, PIRP irp) {
  PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
  PFILE_OBJECT file = sp->FileObject;
  ObjectKind kind = KindOf(file);
  if (kind != ObjectKind::Filter && kind != ObjectKind::Pin) return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
  switch (sp->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_KS_PROPERTY: {
      const ULONG inputLength = sp->Parameters.DeviceIoControl.InputBufferLength;
      const ULONG valueLength = sp->Parameters.DeviceIoControl.OutputBufferLength;
      const void* userInput = sp->Parameters.DeviceIoControl.Type3InputBuffer;
      void* userValue = irp->UserBuffer;
      if (inputLength < sizeof(KSPROPERTY)) return Complete(irp, STATUS_INVALID_BUFFER_SIZE);
      if (!userInput || (valueLength && !userValue)) return Complete(irp, STATUS_INVALID_PARAMETER);
      // As KS does for a caller's METHOD_NEITHER request: the property (with
      // its instance data) and the value are copied into system buffers, and
      // the handler's answer is copied back after it returned. A handler
      // that keeps a pointer or writes past the value's length is caught on
      // these blocks, not on the caller's memory. (Host heap blocks, so the
      // driver's pool fault injection and accounting do not see them.)
      UCHAR* input = static_cast<UCHAR*>(malloc(inputLength));
      void* value = valueLength ? malloc(valueLength) : NULL;
      if (!input || (valueLength && !value)) {
        free(input);
        free(value);
        return Complete(irp, STATUS_INSUFFICIENT_RESOURCES);
      }
      memcpy(input, userInput, inputLength);
      PropertyCall call{};
      call.input = input;
      call.inputLength = inputLength;
      call.value = value;
      call.valueLength = valueLength;
      call.irp = irp;
      memcpy(&call.property, call.input, sizeof(KSPROPERTY));
      const bool set = call.Verb() == KSPROPERTY_TYPE_SET;
      if (set && valueLength) memcpy(value, userValue, valueLength);
      else if (valueLength) memset(value, 0xCD, valueLength);  // what a handler reads before writing is not the caller's
      NTSTATUS status = kind == ObjectKind::Filter ? FilterProperty(FilterOf(file), call) : PinProperty(PinOf(file), call);
      ULONG_PTR information = (NT_SUCCESS(status) || status == STATUS_BUFFER_OVERFLOW) ? call.information : 0;
      if (!set && information && valueLength)
        memcpy(userValue, value, information < valueLength ? information : valueLength);
      free(value);
      free(input);
      return Complete(irp, status, information);
    }
    case IOCTL_KS_WRITE_STREAM:
    case IOCTL_KS_READ_STREAM:
      if (kind != ObjectKind::Pin) return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
      return QueueStreamRequest(PinOf(file), irp,
                                sp->Parameters.DeviceIoControl.IoControlCode == IOCTL_KS_WRITE_STREAM);
    case IOCTL_KS_METHOD:
    case IOCTL_KS_ENABLE_EVENT:
      return Complete(irp, STATUS_NOT_FOUND);  // no methods or events
    case IOCTL_KS_DISABLE_EVENT:
    case IOCTL_KS_RESET_STATE:
      return Complete(irp, STATUS_SUCCESS);
    default:
      return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
  }
}

NTSTATUS NTAPI DispatchPassDown(PDEVICE_OBJECT fdo, PIRP irp) { return PassDown(DeviceOf(fdo), irp); }

NTSTATUS NTAPI DispatchCleanup(PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_SUCCESS); }

VOID NTAPI PortUnload(PDRIVER_OBJECT) {}

}  // namespace

PortDevice* DeviceOf(PDEVICE_OBJECT fdo) {
  PortDevice* d = fdo && fdo->DeviceExtension ? *static_cast<PortDevice**>(fdo->DeviceExtension) : nullptr;
  if (!d) detail::BugCheckAt(USBAUDIO_CALLER(), "PORTCLS_NOT_ADAPTER_DEVICE",
                             "%p is not a device created by PcAddAdapterDevice", static_cast<void*>(fdo));
  return d;
}

void ReleaseStartedState(PortDevice* d) {
  std::vector<Subdevice> subdevices;
  PADAPTERPOWERMANAGEMENT power;
  {
    std::lock_guard<std::mutex> lock(d->lock);
    subdevices.swap(d->subdevices);
    power = d->power;
    d->power = nullptr;
  }
  for (auto& s : subdevices) {
    for (auto& link : s.links) {
      IoSetDeviceInterfaceState(&link, FALSE);
      RtlFreeUnicodeString(&link);
    }
    s.port->ReleaseChildren();
    s.port->Release();
  }
  if (power) power->Release();
}

}  // namespace platform::portcls

using namespace platform::portcls;

extern "C" {

NTSTATUS NTAPI PcInitializeAdapterDriver(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPathName,
                                         PDRIVER_ADD_DEVICE AddDevice) {
  (void)RegistryPathName;
  if (!DriverObject || !DriverObject->DriverExtension)
    platform::detail::BugCheckAt(USBAUDIO_CALLER(), "PORTCLS_DRIVER_INVALID", "driver object without an extension");
  DriverObject->DriverExtension->AddDevice = AddDevice;
  DriverObject->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
  DriverObject->MajorFunction[IRP_MJ_POWER] = DispatchPower;
  DriverObject->MajorFunction[IRP_MJ_CREATE] = DispatchCreate;
  DriverObject->MajorFunction[IRP_MJ_CLOSE] = DispatchClose;
  DriverObject->MajorFunction[IRP_MJ_CLEANUP] = DispatchCleanup;
  DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
  DriverObject->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = DispatchPassDown;
  DriverObject->DriverUnload = PortUnload;
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI PcAddAdapterDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject,
                                  PCPFNSTARTDEVICE StartDevice, ULONG MaxObjects, ULONG DeviceExtensionSize) {
  platform::detail::RequireIrqlAtMost(PASSIVE_LEVEL, USBAUDIO_CALLER(), "IRQL_PORTCLS_ABOVE_PASSIVE",
                                      "PcAddAdapterDevice");
  if (!PhysicalDeviceObject || !StartDevice || MaxObjects == 0) return STATUS_INVALID_PARAMETER;
  ULONG size = DeviceExtensionSize > PORT_CLASS_DEVICE_EXTENSION_SIZE ? DeviceExtensionSize
                                                                      : PORT_CLASS_DEVICE_EXTENSION_SIZE;
  PDEVICE_OBJECT fdo = NULL;
  NTSTATUS status = IoCreateDevice(DriverObject, size, NULL, FILE_DEVICE_KS,
                                   FILE_AUTOGENERATED_DEVICE_NAME | FILE_DEVICE_SECURE_OPEN, FALSE, &fdo);
  if (!NT_SUCCESS(status)) return status;
  void* memory = ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(PortDevice), kTagDevice);
  if (!memory) {
    IoDeleteDevice(fdo);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  PortDevice* d = new (memory) PortDevice();
  d->fdo = fdo;
  d->pdo = PhysicalDeviceObject;
  d->start = StartDevice;
  d->maxObjects = MaxObjects;
  *static_cast<PortDevice**>(fdo->DeviceExtension) = d;
  d->lower = IoAttachDeviceToDeviceStack(fdo, PhysicalDeviceObject);
  fdo->Flags |= DO_DIRECT_IO | DO_POWER_PAGABLE;
  fdo->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI PcRegisterSubdevice(PDEVICE_OBJECT DeviceObject, PWCHAR Name, PUNKNOWN Unknown) {
  platform::detail::RequireIrqlAtMost(PASSIVE_LEVEL, USBAUDIO_CALLER(), "IRQL_PORTCLS_ABOVE_PASSIVE",
                                      "PcRegisterSubdevice");
  PortDevice* d = DeviceOf(DeviceObject);
  if (!Name || !Name[0] || !Unknown) return STATUS_INVALID_PARAMETER;
  CPortWaveCyclic* port = NULL;
  if (!NT_SUCCESS(Unknown->QueryInterface(kPortObjectId, reinterpret_cast<PVOID*>(&port))) || !port)
    return STATUS_INVALID_PARAMETER;
  std::u16string name = platform::ToU16(Name);
  NTSTATUS status = STATUS_SUCCESS;
  {
    std::lock_guard<std::mutex> lock(d->lock);
    if (d->subdevices.size() >= d->maxObjects) status = STATUS_INSUFFICIENT_RESOURCES;
    for (auto& s : d->subdevices)
      if (platform::EqualNoCase(s.name, name)) status = STATUS_OBJECT_NAME_COLLISION;
  }
  if (NT_SUCCESS(status) && !port->Miniport()) status = STATUS_INVALID_DEVICE_REQUEST;
  if (!NT_SUCCESS(status)) {
    port->Release();
    return status;
  }
  // The filter's categories, or the wave-cyclic port's own.
  static const GUID* defaults[] = {&KSCATEGORY_AUDIO, &KSCATEGORY_RENDER, &KSCATEGORY_CAPTURE};
  const PCFILTER_DESCRIPTOR* desc = port->Descriptor();
  std::vector<const GUID*> categories;
  if (desc->CategoryCount)
    for (ULONG i = 0; i < desc->CategoryCount; ++i) categories.push_back(&desc->Categories[i]);
  else
    categories.assign(defaults, defaults + 3);
  Subdevice sub;
  sub.name = name;
  sub.port = port;
  UNICODE_STRING reference;
  RtlInitUnicodeString(&reference, Name);
  for (const GUID* category : categories) {
    UNICODE_STRING link{};
    status = IoRegisterDeviceInterface(d->pdo, category, &reference, &link);
    if (!NT_SUCCESS(status)) break;
    sub.links.push_back(link);
    status = IoSetDeviceInterfaceState(&link, TRUE);
    if (!NT_SUCCESS(status)) break;
  }
  if (!NT_SUCCESS(status)) {
    for (auto& link : sub.links) {
      IoSetDeviceInterfaceState(&link, FALSE);
      RtlFreeUnicodeString(&link);
    }
    // A subdevice that cannot be registered will never be torn down by
    // removal: drop the port's hold on its miniport now, so the
    // port/miniport reference cycle does not outlive the caller's release.
    port->ReleaseChildren();
    port->Release();
    return status;
  }
  std::lock_guard<std::mutex> lock(d->lock);
  d->subdevices.push_back(sub);
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI PcRegisterAdapterPowerManagement(PUNKNOWN pUnknown, PVOID pvContext1) {
  PortDevice* d = DeviceOf(static_cast<PDEVICE_OBJECT>(pvContext1));
  if (!pUnknown) return STATUS_INVALID_PARAMETER;
  PADAPTERPOWERMANAGEMENT power = NULL;
  NTSTATUS status = pUnknown->QueryInterface(IID_IAdapterPowerManagement, reinterpret_cast<PVOID*>(&power));
  if (!NT_SUCCESS(status)) return status;
  PADAPTERPOWERMANAGEMENT old;
  {
    std::lock_guard<std::mutex> lock(d->lock);
    old = d->power;
    d->power = power;
  }
  if (old) old->Release();
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI PcRequestNewPowerState(PDEVICE_OBJECT pDeviceObject, DEVICE_POWER_STATE RequestedNewState) {
  if (RequestedNewState < PowerDeviceD0 || RequestedNewState > PowerDeviceD3) return STATUS_INVALID_PARAMETER;
  ChangeDevicePower(DeviceOf(pDeviceObject), RequestedNewState);
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI PcDispatchIrp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  switch (IoGetCurrentIrpStackLocation(Irp)->MajorFunction) {
    case IRP_MJ_PNP: return DispatchPnp(DeviceObject, Irp);
    case IRP_MJ_POWER: return DispatchPower(DeviceObject, Irp);
    case IRP_MJ_CREATE: return DispatchCreate(DeviceObject, Irp);
    case IRP_MJ_CLOSE: return DispatchClose(DeviceObject, Irp);
    case IRP_MJ_DEVICE_CONTROL: return DispatchDeviceControl(DeviceObject, Irp);
    case IRP_MJ_CLEANUP: return DispatchCleanup(DeviceObject, Irp);
    default: return DispatchPassDown(DeviceObject, Irp);
  }
}

NTSTATUS NTAPI PcCompleteIrp(PDEVICE_OBJECT DeviceObject, PIRP Irp, NTSTATUS Status) {
  (void)DeviceObject;
  return Complete(Irp, Status, Irp->IoStatus.Information);
}

NTSTATUS NTAPI PcForwardIrpSynchronous(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  return ForwardAndWait(DeviceOf(DeviceObject), Irp);
}

NTSTATUS NTAPI PcGetDeviceProperty(PVOID DeviceObject, DEVICE_REGISTRY_PROPERTY DeviceProperty, ULONG BufferLength,
                                   PVOID PropertyBuffer, PULONG ResultLength) {
  return IoGetDeviceProperty(DeviceOf(static_cast<PDEVICE_OBJECT>(DeviceObject))->pdo, DeviceProperty, BufferLength,
                             PropertyBuffer, ResultLength);
}

ULONGLONG NTAPI PcGetTimeInterval(ULONGLONG Since) { return KeQueryInterruptTime() - Since; }

}  // extern "C"
