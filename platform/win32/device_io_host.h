// Host-only fault mode of the kernel-streaming client side: a test makes
// the replies to IOCTL_KS_PROPERTY that a client process sees on a device
// path say anything (a pin count of 0xFFFFFFFF, a KSMULTIPLE_ITEM whose
// Count points past the reply, a data range of FormatSize 0, a pin name
// without a terminator, a failure delivered through a pended completion),
// so user-mode code can be tested against a kernel that answers badly.
// Product code never includes this.
#pragma once

#include <windows.h>

#include <functional>
#include <string>

namespace platform::win32 {

// One IOCTL_KS_PROPERTY reply as the kernel gave it, before the client sees
// it. The filter may rewrite the output bytes (within outputLength), the
// status and the byte count (information may exceed outputLength: the
// client then sees that count, as from a lying driver).
struct KsPropertyReply {
  const void* request = nullptr;  // the KSPROPERTY and its instance data, as sent
  ULONG requestLength = 0;
  void* output = nullptr;  // the caller's buffer, the kernel's bytes in it
  ULONG outputLength = 0;
  NTSTATUS status = 0;
  ULONG_PTR information = 0;
  bool isPin = false;  // the handle is a pin opened below the filter
  // Overlapped calls only: report the reply through a pended completion
  // (DeviceIoControl fails with ERROR_IO_PENDING; OVERLAPPED and event tell
  // the final status and count, as GetOverlappedResult reads them).
  bool pend = false;
};

// Runs on the thread that completes the request, possibly at DISPATCH_LEVEL
// on a kernel thread: it must not block or call Win32 functions.
using KsReplyFilter = std::function<void(KsPropertyReply& reply)>;

// Applies `filter` to IOCTL_KS_PROPERTY replies on handles that CreateFileW
// opens on `devicePath` from now on ("\\?\" or "\??\" form, compared
// without case) and on pins KsCreatePin opens below them, in any process.
// A later filter for the same path replaces the earlier. Returns its id.
int InstallKsReplyFilter(const std::u16string& devicePath, KsReplyFilter filter);
// Removes the filter (replies already being completed may still see it).
void RemoveKsReplyFilter(int id);

}  // namespace platform::win32
