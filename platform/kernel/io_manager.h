// Host-only API of the I/O manager for clients of drivers: open a device
// interface, open an object below an open file (a KS pin below its
// filter), send I/O controls, close. Each call builds the IRP the Windows
// I/O manager would build, sends it to the top of the device's stack and
// waits for its completion. The win32 stand-ins (CreateFileW,
// DeviceIoControl, KsCreatePin) are thin layers over these.
#pragma once

#include <wdm.h>

#include <cstddef>
#include <string>

namespace platform {

// Opens a device interface by its symbolic link ("\??\..." or "\\?\...",
// case-insensitive): IRP_MJ_CREATE with the interface's reference string as
// the file name ("\Wave"). STATUS_OBJECT_NAME_NOT_FOUND for an unknown or
// disabled interface.
NTSTATUS IoOpenDeviceInterface(const std::u16string& path, HANDLE* handle);

// IRP_MJ_CREATE relative to an open file: RelatedFileObject = the parent,
// file name = the given bytes (they may carry binary create parameters).
// The new file keeps its parent open until it is closed itself.
NTSTATUS IoOpenRelative(HANDLE parent, const void* name, size_t nameBytes, HANDLE* handle);

// IRP_MJ_DEVICE_CONTROL. METHOD_NEITHER passes the caller's buffers
// (Type3InputBuffer, UserBuffer), METHOD_BUFFERED copies through a system
// buffer. *bytesReturned = IoStatus.Information.
NTSTATUS IoDeviceControl(HANDLE handle, ULONG ioControlCode, const void* input, ULONG inputLength, void* output,
                         ULONG outputLength, ULONG* bytesReturned);

// IRP_MJ_DEVICE_CONTROL (METHOD_NEITHER) sent without waiting, as an
// overlapped DeviceIoControl: `done(context, status, information)` is
// called once when the IRP completes — on any thread, possibly at
// DISPATCH_LEVEL and possibly before this returns — so it must not block.
// The buffers must stay valid until then. Returns what the dispatch
// routine returned (STATUS_PENDING while the request is queued).
using IoDone = void (*)(void* context, NTSTATUS status, ULONG_PTR information);
NTSTATUS IoDeviceControlAsync(HANDLE handle, ULONG ioControlCode, const void* input, ULONG inputLength, void* output,
                              ULONG outputLength, IoDone done, void* context);

// Cancels (IoCancelIrp) the requests IoDeviceControlAsync sent on the
// handle and not yet completed: all of them, or only those the calling
// thread sent (CancelIo). Their completions report what the driver's
// cancellation gives them.
NTSTATUS IoCancelAsyncRequests(HANDLE handle, bool callingThreadOnly);

// Closes the handle; IRP_MJ_CLOSE goes out when nothing refers to the file
// any more (a filter stays open while pins opened below it are open).
NTSTATUS IoCloseHandle(HANDLE handle);

// The file object behind a handle (null for an unknown handle).
PFILE_OBJECT IoFileObjectOfHandle(HANDLE handle);

// Handles currently open.
size_t OpenHandleCount();

// Kernel-streaming conveniences over the calls above.
NTSTATUS KsOpenFilter(const std::u16string& devicePath, HANDLE* filter);
// connect: a KSPIN_CONNECT followed by its data format.
NTSTATUS KsCreatePin(HANDLE filter, const void* connect, ULONG connectLength, HANDLE* pin);
// IOCTL_KS_PROPERTY: property (with its instance data) in, value out.
NTSTATUS KsProperty(HANDLE handle, const void* property, ULONG propertyLength, void* value, ULONG valueLength,
                    ULONG* bytesReturned);

}  // namespace platform
