// The client side of the I/O manager: file objects, the handle table and
// synchronous IRPs to device stacks.
#include "platform/kernel/io_manager.h"

#include <ks.h>

#include <algorithm>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/kernel/client_process.h"
#include "platform/kernel/device_interfaces.h"
#include "platform/kernel/internal.h"

namespace {

using platform::detail::BugCheckAt;

constexpr ULONG kSystemBufferTag = platform::PoolTag("IoSB");
// A driver that neither completes nor pends an IRP for this long is stuck.
constexpr LONGLONG kIrpTimeout100ns = -60LL * 10000000;

// A file object with what the I/O manager keeps about it. FILE_OBJECT comes
// first, so a PFILE_OBJECT is also the record.
struct FileRecord {
  FILE_OBJECT file;
  std::vector<WCHAR> name;
  PDEVICE_OBJECT target;  // top of the stack when opened
  FileRecord* parent;
  int references;  // handles plus children
};

// A handle belongs to the process that opened it (null: the system).
struct HandleEntry {
  FileRecord* record;
  platform::ClientProcess* process;
};

struct Handles {
  std::mutex lock;
  std::map<HANDLE, HandleEntry> open;
};

Handles& TheHandles() {
  static Handles* h = new Handles;
  return *h;
}

NTSTATUS NTAPI SignalDone(PDEVICE_OBJECT, PIRP, PVOID context) {
  KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

PDEVICE_OBJECT TopOfStack(PDEVICE_OBJECT device) {
  while (device->AttachedDevice) device = device->AttachedDevice;
  return device;
}

// Only the current process's handles are valid in it.
FileRecord* Lookup(HANDLE handle) {
  Handles& h = TheHandles();
  std::lock_guard<std::mutex> lock(h.lock);
  auto it = h.open.find(handle);
  if (it == h.open.end() || it->second.process != platform::CurrentClientProcess()) return nullptr;
  return it->second.record;
}

HANDLE Insert(FileRecord* record) {
  HANDLE handle = platform::detail::NewProcessHandleValue();
  Handles& h = TheHandles();
  std::lock_guard<std::mutex> lock(h.lock);
  h.open[handle] = HandleEntry{record, platform::CurrentClientProcess()};
  return handle;
}

// The IRP comes from the calling thread's process: user mode for a client.
void SetRequestor(PIRP irp) {
  platform::ClientProcess* process = platform::CurrentClientProcess();
  irp->RequestorMode = process ? UserMode : KernelMode;
  platform::detail::SetIrpProcess(irp, process);
}

// Drops one reference; the last one closes the file and releases its parent.
void Release(FileRecord* record) {
  while (record) {
    {
      Handles& h = TheHandles();
      std::lock_guard<std::mutex> lock(h.lock);
      if (--record->references > 0) return;
    }
    FileRecord* parent = record->parent;
    ULONG_PTR information;
    platform::detail::SendIrpAndWait(record->target, &information, [&](PIRP, PIO_STACK_LOCATION sp) {
      sp->MajorFunction = IRP_MJ_CLOSE;
      sp->FileObject = &record->file;
    });
    delete record;
    record = parent;
  }
}

FileRecord* NewFile(PDEVICE_OBJECT device, PDEVICE_OBJECT target, const void* name, size_t nameBytes,
                    FileRecord* parent) {
  FileRecord* record = new FileRecord{};
  record->file.Type = IO_TYPE_FILE;
  record->file.Size = sizeof(FILE_OBJECT);
  record->file.DeviceObject = device;
  record->file.RelatedFileObject = parent ? &parent->file : NULL;
  KeInitializeEvent(&record->file.Lock, SynchronizationEvent, FALSE);
  KeInitializeEvent(&record->file.Event, NotificationEvent, FALSE);
  InitializeListHead(&record->file.IrpList);
  record->name.resize(nameBytes / sizeof(WCHAR) + 2);
  memcpy(record->name.data(), name, nameBytes);
  record->file.FileName.Buffer = record->name.data();
  record->file.FileName.Length = static_cast<USHORT>((nameBytes + 1) & ~size_t(1));
  record->file.FileName.MaximumLength = static_cast<USHORT>(record->name.size() * sizeof(WCHAR));
  record->target = target;
  record->parent = parent;
  record->references = 1;
  return record;
}

NTSTATUS Create(FileRecord* record, HANDLE* handle) {
  ULONG_PTR information;
  NTSTATUS status = platform::detail::SendIrpAndWait(record->target, &information, [&](PIRP, PIO_STACK_LOCATION sp) {
    sp->MajorFunction = IRP_MJ_CREATE;
    sp->FileObject = &record->file;
    sp->Parameters.Create.ShareAccess = 0;
  });
  if (!NT_SUCCESS(status)) {
    delete record;
    *handle = NULL;
    return status;
  }
  *handle = Insert(record);
  return status;
}

}  // namespace

namespace platform {
namespace detail {

NTSTATUS SendIrpAndWait(PDEVICE_OBJECT device, ULONG_PTR* information,
                        const std::function<void(PIRP, PIO_STACK_LOCATION)>& setup) {
  PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
  if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
  SetRequestor(irp);
  irp->Tail.Overlay.Thread = NULL;
  PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
  setup(irp, sp);
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IoSetCompletionRoutine(irp, SignalDone, &done, TRUE, TRUE, TRUE);
  (void)IoCallDriver(device, irp);
  LARGE_INTEGER timeout;
  timeout.QuadPart = kIrpTimeout100ns;
  if (KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, &timeout) == STATUS_TIMEOUT)
    BugCheckAt(USBAUDIO_CALLER(), "IRP_NEVER_COMPLETED", "IRP %p (major 0x%x) to device %p was never completed",
               static_cast<void*>(irp), sp->MajorFunction, static_cast<void*>(device));
  NTSTATUS status = irp->IoStatus.Status;
  if (information) *information = irp->IoStatus.Information;
  IoFreeIrp(irp);
  return status;
}

}  // namespace detail

NTSTATUS IoOpenDeviceInterface(const std::u16string& path, HANDLE* handle) {
  DeviceInterface found;
  if (!FindDeviceInterface(path, &found) || !found.enabled) return STATUS_OBJECT_NAME_NOT_FOUND;
  std::u16string name;
  if (!found.referenceString.empty()) name = u"\\" + found.referenceString;
  FileRecord* record =
      NewFile(found.pdo, TopOfStack(found.pdo), name.data(), name.size() * sizeof(char16_t), nullptr);
  return Create(record, handle);
}

NTSTATUS IoOpenRelative(HANDLE parent, const void* name, size_t nameBytes, HANDLE* handle) {
  FileRecord* p = Lookup(parent);
  if (!p) return STATUS_INVALID_HANDLE;
  if (nameBytes > 0xFFF0) return STATUS_OBJECT_NAME_INVALID;
  {
    Handles& h = TheHandles();
    std::lock_guard<std::mutex> lock(h.lock);
    p->references++;
  }
  FileRecord* record = NewFile(p->file.DeviceObject, p->target, name, nameBytes, p);
  NTSTATUS status = Create(record, handle);
  if (!NT_SUCCESS(status)) Release(p);
  return status;
}

NTSTATUS IoDeviceControl(HANDLE handle, ULONG ioControlCode, const void* input, ULONG inputLength, void* output,
                         ULONG outputLength, ULONG* bytesReturned) {
  FileRecord* record = Lookup(handle);
  if (bytesReturned) *bytesReturned = 0;
  if (!record) return STATUS_INVALID_HANDLE;
  ULONG method = METHOD_FROM_CTL_CODE(ioControlCode);
  if (method != METHOD_NEITHER && method != METHOD_BUFFERED)
    BugCheckAt(USBAUDIO_CALLER(), "NOT_IMPLEMENTED_BY_STAND_IN", "direct I/O control codes need MDLs");
  PVOID systemBuffer = NULL;
  if (method == METHOD_BUFFERED && (inputLength || outputLength)) {
    ULONG size = inputLength > outputLength ? inputLength : outputLength;
    systemBuffer = ExAllocatePoolWithTag(NonPagedPoolNx, size, kSystemBufferTag);
    if (!systemBuffer) return STATUS_INSUFFICIENT_RESOURCES;
    if (inputLength) memcpy(systemBuffer, input, inputLength);
  }
  ULONG_PTR information = 0;
  NTSTATUS status = detail::SendIrpAndWait(record->target, &information, [&](PIRP irp, PIO_STACK_LOCATION sp) {
    sp->MajorFunction = IRP_MJ_DEVICE_CONTROL;
    sp->FileObject = &record->file;
    sp->Parameters.DeviceIoControl.IoControlCode = ioControlCode;
    sp->Parameters.DeviceIoControl.InputBufferLength = inputLength;
    sp->Parameters.DeviceIoControl.OutputBufferLength = outputLength;
    if (method == METHOD_NEITHER) {
      sp->Parameters.DeviceIoControl.Type3InputBuffer = const_cast<void*>(input);
      irp->UserBuffer = output;
    } else {
      irp->AssociatedIrp.SystemBuffer = systemBuffer;
      irp->UserBuffer = output;
    }
  });
  if (information > outputLength && (NT_SUCCESS(status) || status == STATUS_BUFFER_OVERFLOW) &&
      method == METHOD_BUFFERED)
    information = outputLength;
  if (systemBuffer) {
    if (!NT_ERROR(status) && output) memcpy(output, systemBuffer, information);
    ExFreePoolWithTag(systemBuffer, kSystemBufferTag);
  }
  if (bytesReturned) *bytesReturned = static_cast<ULONG>(information);
  return status;
}

namespace {

// An IRP sent without waiting, listed until it completes so that it can be
// cancelled; a canceller's hold keeps the IRP allocated until it is done.
struct AsyncIo {
  IoDone done;
  void* context;
  FileRecord* record;
  PIRP irp;
  std::thread::id thread;
  int holds;       // guarded by the handle lock
  bool completed;  // guarded by the handle lock
};

std::vector<AsyncIo*>& AsyncRequests() {  // guarded by the handle lock
  static std::vector<AsyncIo*>* list = new std::vector<AsyncIo*>;
  return *list;
}

NTSTATUS NTAPI AsyncIoDone(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  AsyncIo* io = static_cast<AsyncIo*>(context);
  const NTSTATUS status = irp->IoStatus.Status;
  const ULONG_PTR information = irp->IoStatus.Information;
  bool free;
  {
    Handles& h = TheHandles();
    std::lock_guard<std::mutex> lock(h.lock);
    std::vector<AsyncIo*>& list = AsyncRequests();
    list.erase(std::find(list.begin(), list.end(), io));
    io->completed = true;
    free = io->holds == 0;
  }
  io->done(io->context, status, information);
  if (free) {
    IoFreeIrp(irp);
    delete io;
  }
  return STATUS_MORE_PROCESSING_REQUIRED;
}

}  // namespace

NTSTATUS IoDeviceControlAsync(HANDLE handle, ULONG ioControlCode, const void* input, ULONG inputLength, void* output,
                              ULONG outputLength, IoDone done, void* context) {
  FileRecord* record = Lookup(handle);
  if (!record) return STATUS_INVALID_HANDLE;
  if (METHOD_FROM_CTL_CODE(ioControlCode) != METHOD_NEITHER)
    BugCheckAt(USBAUDIO_CALLER(), "NOT_IMPLEMENTED_BY_STAND_IN", "asynchronous I/O controls are METHOD_NEITHER");
  PIRP irp = IoAllocateIrp(record->target->StackSize, FALSE);
  if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
  SetRequestor(irp);
  irp->Tail.Overlay.Thread = NULL;
  PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
  sp->MajorFunction = IRP_MJ_DEVICE_CONTROL;
  sp->FileObject = &record->file;
  sp->Parameters.DeviceIoControl.IoControlCode = ioControlCode;
  sp->Parameters.DeviceIoControl.InputBufferLength = inputLength;
  sp->Parameters.DeviceIoControl.OutputBufferLength = outputLength;
  sp->Parameters.DeviceIoControl.Type3InputBuffer = const_cast<void*>(input);
  irp->UserBuffer = output;
  AsyncIo* io = new AsyncIo{done, context, record, irp, std::this_thread::get_id(), 0, false};
  {
    Handles& h = TheHandles();
    std::lock_guard<std::mutex> lock(h.lock);
    AsyncRequests().push_back(io);
  }
  IoSetCompletionRoutine(irp, AsyncIoDone, io, TRUE, TRUE, TRUE);
  return IoCallDriver(record->target, irp);
}

NTSTATUS IoCancelAsyncRequests(HANDLE handle, bool callingThreadOnly) {
  FileRecord* record = Lookup(handle);
  if (!record) return STATUS_INVALID_HANDLE;
  std::vector<AsyncIo*> held;
  {
    Handles& h = TheHandles();
    std::lock_guard<std::mutex> lock(h.lock);
    for (AsyncIo* io : AsyncRequests()) {
      if (io->record != record || io->completed) continue;
      if (callingThreadOnly && io->thread != std::this_thread::get_id()) continue;
      io->holds++;
      held.push_back(io);
    }
  }
  for (AsyncIo* io : held) (void)IoCancelIrp(io->irp);
  for (AsyncIo* io : held) {
    bool free;
    {
      Handles& h = TheHandles();
      std::lock_guard<std::mutex> lock(h.lock);
      free = --io->holds == 0 && io->completed;
    }
    if (free) {
      IoFreeIrp(io->irp);
      delete io;
    }
  }
  return STATUS_SUCCESS;
}

NTSTATUS IoCloseHandle(HANDLE handle) {
  FileRecord* record;
  {
    Handles& h = TheHandles();
    std::lock_guard<std::mutex> lock(h.lock);
    auto it = h.open.find(handle);
    if (it == h.open.end() || it->second.process != CurrentClientProcess()) return STATUS_INVALID_HANDLE;
    record = it->second.record;
    h.open.erase(it);
  }
  Release(record);
  return STATUS_SUCCESS;
}

PFILE_OBJECT IoFileObjectOfHandle(HANDLE handle) {
  FileRecord* record = Lookup(handle);
  return record ? &record->file : NULL;
}

namespace detail {

PFILE_OBJECT FileObjectOfAnyProcessHandle(HANDLE handle) {
  Handles& h = TheHandles();
  std::lock_guard<std::mutex> lock(h.lock);
  auto it = h.open.find(handle);
  return it == h.open.end() ? NULL : &it->second.record->file;
}

}  // namespace detail

namespace detail {

void CloseProcessFiles(ClientProcess* process) {
  std::vector<HANDLE> handles;
  {
    Handles& h = TheHandles();
    std::lock_guard<std::mutex> lock(h.lock);
    for (auto& [handle, entry] : h.open)
      if (entry.process == process) handles.push_back(handle);
  }
  // Handle values grow with each open: the newest (a pin) closes before its
  // parent (the filter).
  for (auto it = handles.rbegin(); it != handles.rend(); ++it) (void)IoCloseHandle(*it);
}

}  // namespace detail

size_t OpenHandleCount() {
  Handles& h = TheHandles();
  std::lock_guard<std::mutex> lock(h.lock);
  return h.open.size();
}

NTSTATUS KsOpenFilter(const std::u16string& devicePath, HANDLE* filter) {
  return IoOpenDeviceInterface(devicePath, filter);
}

NTSTATUS KsCreatePin(HANDLE filter, const void* connect, ULONG connectLength, HANDLE* pin) {
  // "{pin name GUID}\" followed by the create parameters, as ksuser builds it.
  std::u16string prefix = ToU16(KSSTRING_Pin) + u"\\";
  std::vector<uint8_t> name(prefix.size() * sizeof(char16_t) + connectLength);
  memcpy(name.data(), prefix.data(), prefix.size() * sizeof(char16_t));
  if (connectLength) memcpy(name.data() + prefix.size() * sizeof(char16_t), connect, connectLength);
  return IoOpenRelative(filter, name.data(), name.size(), pin);
}

NTSTATUS KsProperty(HANDLE handle, const void* property, ULONG propertyLength, void* value, ULONG valueLength,
                    ULONG* bytesReturned) {
  return IoDeviceControl(handle, IOCTL_KS_PROPERTY, property, propertyLength, value, valueLength, bytesReturned);
}

}  // namespace platform
