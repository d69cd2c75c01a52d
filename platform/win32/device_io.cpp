// DeviceIoControl, GetOverlappedResult and CancelIo over the I/O manager:
// synchronous requests wait for the IRP; overlapped ones on a handle opened
// for overlapped I/O return at once when the driver pends, and the
// completion fills the OVERLAPPED (Internal = status, InternalHigh = bytes)
// and sets its event, as the Windows I/O manager does.
#include <windows.h>

#include <atomic>
#include <condition_variable>
#include <mutex>

#include "platform/kernel/client_process.h"
#include "platform/kernel/internal.h"
#include "platform/kernel/io_manager.h"
#include "platform/win32/device_io_internal.h"
#include "platform/win32/win32_internal.h"

namespace {

using platform::win32::KsPropertyReply;
using platform::win32::KsReplyFilter;
using platform::win32::detail::ErrorFromStatus;

// Waiters of requests without an event wait for any completion, as a
// Windows client then waits on the file object.
struct Completions {
  std::mutex lock;
  std::condition_variable done;
};

Completions& TheCompletions() {
  static Completions* c = new Completions;
  return *c;
}

// The low bit of OVERLAPPED.hEvent only keeps the completion off a
// completion port.
HANDLE EventOf(const OVERLAPPED* ov) {
  return reinterpret_cast<HANDLE>(reinterpret_cast<ULONG_PTR>(ov->hEvent) & ~ULONG_PTR{1});
}

NTSTATUS LoadStatus(const OVERLAPPED* ov) {
  return static_cast<NTSTATUS>(__atomic_load_n(&ov->Internal, __ATOMIC_ACQUIRE));
}

// The event object behind the caller's handle, referenced in its process.
NTSTATUS ReferenceEvent(HANDLE event, ACCESS_MASK access, PKEVENT* object) {
  *object = NULL;
  if (!event) return STATUS_SUCCESS;
  PVOID referenced = NULL;
  const NTSTATUS status = ObReferenceObjectByHandle(event, access, *ExEventObjectType, UserMode, &referenced, NULL);
  if (NT_SUCCESS(status)) *object = static_cast<PKEVENT>(referenced);
  return status;
}

// Writes the I/O status block and signals: the count first, the status
// last, so a thread that sees the status also sees the count.
void CompleteOverlapped(OVERLAPPED* ov, PKEVENT event, NTSTATUS status, ULONG_PTR information) {
  ov->InternalHigh = information;
  __atomic_store_n(&ov->Internal, static_cast<ULONG_PTR>(static_cast<ULONG>(status)), __ATOMIC_RELEASE);
  if (event) {
    KeSetEvent(event, IO_NO_INCREMENT, FALSE);
    ObDereferenceObject(event);
  }
  Completions& c = TheCompletions();
  { std::lock_guard<std::mutex> lock(c.lock); }
  c.done.notify_all();
}

void Filter(const KsReplyFilter* filter, bool isPin, const void* input, ULONG inputLength, void* output,
            ULONG outputLength, NTSTATUS* status, ULONG_PTR* information, bool* pend) {
  if (!filter) return;
  KsPropertyReply reply;
  reply.request = input;
  reply.requestLength = inputLength;
  reply.output = output;
  reply.outputLength = outputLength;
  reply.status = *status;
  reply.information = *information;
  reply.isPin = isPin;
  (*filter)(reply);
  *status = reply.status;
  *information = reply.information;
  if (pend) *pend = reply.pend;
}

// kernel32's ending of a request that did not pend: the count for success
// and warnings, the mapped error for anything but success.
BOOL Finish(NTSTATUS status, ULONG_PTR information, LPDWORD bytesReturned) {
  if (!NT_ERROR(status) && bytesReturned) *bytesReturned = static_cast<DWORD>(information);
  if (NT_SUCCESS(status)) {
    SetLastError(ERROR_SUCCESS);
    return TRUE;
  }
  SetLastError(ErrorFromStatus(status));
  return FALSE;
}

// One overlapped request: shared by the caller (until DeviceIoControl
// returns) and the completion.
struct Request {
  std::atomic<int> references{2};
  std::atomic<bool> completed{false};
  OVERLAPPED* ov;
  PKEVENT event;
  std::shared_ptr<const KsReplyFilter> filter;
  bool isPin;
  const void* input;
  ULONG inputLength;
  void* output;
  ULONG outputLength;
  // Set by the completion.
  NTSTATUS status = STATUS_PENDING;
  ULONG_PTR information = 0;
  bool pend = false;
};

void Release(Request* r) {
  if (r->references.fetch_sub(1, std::memory_order_acq_rel) == 1) delete r;
}

void RequestDone(void* context, NTSTATUS status, ULONG_PTR information) {
  Request* r = static_cast<Request*>(context);
  Filter(r->filter.get(), r->isPin, r->input, r->inputLength, r->output, r->outputLength, &status, &information,
         &r->pend);
  r->status = status;
  r->information = information;
  r->completed.store(true, std::memory_order_release);
  CompleteOverlapped(r->ov, r->event, status, information);
  Release(r);
}

}  // namespace

USBAUDIO_BEGIN_C

BOOL WINAPI DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize,
                            LPVOID lpOutBuffer, DWORD nOutBufferSize, LPDWORD lpBytesReturned,
                            LPOVERLAPPED lpOverlapped) {
  platform::win32::detail::RequireClientProcess("DeviceIoControl");
  platform::win32::detail::DeviceHandleInfo info;
  const bool known = platform::win32::detail::DeviceHandleInfoOf(hDevice, &info);
  std::shared_ptr<const KsReplyFilter> filter;
  if (known && dwIoControlCode == IOCTL_KS_PROPERTY) filter = platform::win32::detail::FindKsReplyFilter(info.path);

  PKEVENT event = NULL;
  if (lpOverlapped) {
    const NTSTATUS status = ReferenceEvent(EventOf(lpOverlapped), EVENT_MODIFY_STATE, &event);
    if (!NT_SUCCESS(status)) {
      SetLastError(ErrorFromStatus(status));
      return FALSE;
    }
    if (event) KeClearEvent(event);  // the I/O manager resets the caller's event first
    lpOverlapped->InternalHigh = 0;
    __atomic_store_n(&lpOverlapped->Internal, static_cast<ULONG_PTR>(STATUS_PENDING), __ATOMIC_RELEASE);
  }

  // Without an overlapped handle and OVERLAPPED the call waits for the
  // request; so does a buffered code, which the I/O manager stand-in sends
  // only synchronously.
  const bool async = lpOverlapped && known && info.overlapped && METHOD_FROM_CTL_CODE(dwIoControlCode) == METHOD_NEITHER;
  if (!async) {
    ULONG bytes = 0;
    NTSTATUS status = platform::IoDeviceControl(hDevice, dwIoControlCode, lpInBuffer, nInBufferSize, lpOutBuffer,
                                                nOutBufferSize, &bytes);
    ULONG_PTR information = bytes;
    Filter(filter.get(), info.pin, lpInBuffer, nInBufferSize, lpOutBuffer, nOutBufferSize, &status, &information,
           nullptr);
    if (lpOverlapped) CompleteOverlapped(lpOverlapped, event, status, information);
    return Finish(status, information, lpBytesReturned);
  }

  Request* r = new Request;
  r->ov = lpOverlapped;
  r->event = event;
  r->filter = filter;
  r->isPin = info.pin;
  r->input = lpInBuffer;
  r->inputLength = nInBufferSize;
  r->output = lpOutBuffer;
  r->outputLength = nOutBufferSize;
  const NTSTATUS dispatched = platform::IoDeviceControlAsync(hDevice, dwIoControlCode, lpInBuffer, nInBufferSize,
                                                             lpOutBuffer, nOutBufferSize, RequestDone, r);
  if (dispatched != STATUS_PENDING && !r->completed.load(std::memory_order_acquire)) {
    // Refused before an IRP went out: nothing completes, nothing is signalled.
    if (event) ObDereferenceObject(event);
    delete r;
    SetLastError(ErrorFromStatus(dispatched));
    return FALSE;
  }
  if (dispatched == STATUS_PENDING || r->pend) {
    Release(r);
    SetLastError(ERROR_IO_PENDING);
    return FALSE;
  }
  // Completed before the dispatch routine returned.
  const NTSTATUS status = r->filter ? r->status : dispatched;
  const ULONG_PTR information = r->information;
  Release(r);
  return Finish(status, information, lpBytesReturned);
}

BOOL WINAPI GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped, LPDWORD lpNumberOfBytesTransferred,
                                BOOL bWait) {
  (void)hFile;  // the OVERLAPPED and its event carry everything
  platform::win32::detail::RequireClientProcess("GetOverlappedResult");
  if (!lpOverlapped) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  NTSTATUS status = LoadStatus(lpOverlapped);
  if (status == STATUS_PENDING && bWait) {
    const HANDLE handle = EventOf(lpOverlapped);
    if (handle) {
      // A user-mode wait holds the event; it is no kernel reference.
      PKEVENT event = NULL;
      const NTSTATUS held =
          platform::HoldClientEvent(platform::CurrentClientProcess(), handle, SYNCHRONIZE, &event);
      if (!NT_SUCCESS(held)) {
        SetLastError(ErrorFromStatus(held));
        return FALSE;
      }
      PVOID objects[1] = {event};
      (void)platform::detail::WaitUserObjects(1, objects, false, INFINITE, NULL);
      platform::ReleaseClientEvent(event);
    } else {
      Completions& c = TheCompletions();
      std::unique_lock<std::mutex> lock(c.lock);
      c.done.wait(lock, [&] { return LoadStatus(lpOverlapped) != STATUS_PENDING; });
    }
    status = LoadStatus(lpOverlapped);
  }
  if (status == STATUS_PENDING) {
    SetLastError(ERROR_IO_INCOMPLETE);
    return FALSE;
  }
  if (lpNumberOfBytesTransferred) *lpNumberOfBytesTransferred = static_cast<DWORD>(lpOverlapped->InternalHigh);
  if (NT_SUCCESS(status)) return TRUE;
  SetLastError(ErrorFromStatus(status));
  return FALSE;
}

USBAUDIO_END_C

USBAUDIO_BEGIN_C

BOOL WINAPI CancelIo(HANDLE hFile) {
  platform::win32::detail::RequireClientProcess("CancelIo");
  // The calling thread's requests on the handle; each completes with what
  // the driver's cancellation gives it (STATUS_CANCELLED as a rule).
  const NTSTATUS status = platform::IoCancelAsyncRequests(hFile, true);
  if (!NT_SUCCESS(status)) {
    SetLastError(ErrorFromStatus(status));
    return FALSE;
  }
  return TRUE;
}

USBAUDIO_END_C
