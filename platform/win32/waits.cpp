// WaitForSingleObject, WaitForMultipleObjects and Sleep on the kernel
// dispatcher, so an event the driver sets wakes a user-mode wait. Each
// handle is referenced for the length of the wait (closing it meanwhile
// does not free the object). A wait or sleep of a thread TerminateThread
// ended does not return: the thread stops there.
#include <sched.h>

#include "platform/kernel/client_process.h"
#include "platform/kernel/internal.h"
#include "platform/win32/win32_internal.h"
#include "platform/win32/win32_objects.h"

namespace {

using namespace platform::win32::detail;

// A referenced wait target: one of this layer's objects or a client event.
struct Target {
  Object* object = nullptr;
  PKEVENT event = nullptr;
  PVOID Waitable() const { return object ? object->Waitable() : event; }
};

void Release(Target* targets, DWORD count) {
  for (DWORD i = 0; i < count; ++i) {
    if (targets[i].object) Dereference(targets[i].object);
    if (targets[i].event) platform::ReleaseClientEvent(targets[i].event);
  }
}

// References the object behind `handle` for a wait; 0 or the Win32 error.
DWORD Reference(platform::ClientProcess* process, HANDLE handle, Target* target) {
  ACCESS_MASK access = 0;
  if (Object* object = ReferenceHandle(process, handle, &access)) {
    target->object = object;
    return (access & SYNCHRONIZE) ? ERROR_SUCCESS : ERROR_ACCESS_DENIED;
  }
  NTSTATUS status = platform::HoldClientEvent(process, handle, SYNCHRONIZE, &target->event);
  if (NT_SUCCESS(status)) return ERROR_SUCCESS;
  target->event = nullptr;
  return status == STATUS_ACCESS_DENIED ? ERROR_ACCESS_DENIED : ERROR_INVALID_HANDLE;
}

DWORD WaitFor(const char* function, DWORD count, const HANDLE* handles, bool waitAll, DWORD milliseconds) {
  platform::ClientProcess* process = RequireClientProcess(function);
  if (count == 0 || count > MAXIMUM_WAIT_OBJECTS || !handles) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return WAIT_FAILED;
  }
  Target targets[MAXIMUM_WAIT_OBJECTS];
  PVOID objects[MAXIMUM_WAIT_OBJECTS];
  for (DWORD i = 0; i < count; ++i) {
    DWORD error = Reference(process, handles[i], &targets[i]);
    if (error != ERROR_SUCCESS) {
      Release(targets, i + 1);
      SetLastError(error);
      return WAIT_FAILED;
    }
    objects[i] = targets[i].Waitable();
    // Wait-all takes each object once: the same one twice is refused.
    for (DWORD j = 0; waitAll && j < i; ++j) {
      if (objects[j] == objects[i]) {
        Release(targets, i + 1);
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
      }
    }
  }
  for (DWORD i = 0; i < count; ++i)
    if (targets[i].object && targets[i].object->kind == ObjectKind::Mutex) NoteMutexOwner();
  NTSTATUS status =
      platform::detail::WaitUserObjects(count, objects, waitAll, milliseconds, CurrentThreadStopObject());
  Release(targets, count);
  if (status == STATUS_ALERTED) StopTerminatedThread();
  if (status == STATUS_TIMEOUT) return WAIT_TIMEOUT;
  return static_cast<DWORD>(status);  // WAIT_OBJECT_0 + i or WAIT_ABANDONED_0 + i
}

}  // namespace

USBAUDIO_BEGIN_C

DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
  return WaitFor("WaitForSingleObject", 1, &hHandle, false, dwMilliseconds);
}

DWORD WINAPI WaitForMultipleObjects(DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll, DWORD dwMilliseconds) {
  return WaitFor("WaitForMultipleObjects", nCount, lpHandles, bWaitAll != FALSE, dwMilliseconds);
}

void WINAPI Sleep(DWORD dwMilliseconds) {
  RequireClientProcess("Sleep");
  if (dwMilliseconds == 0) {
    if (platform::detail::WaitUserObjects(0, nullptr, false, 0, CurrentThreadStopObject()) == STATUS_ALERTED)
      StopTerminatedThread();
    sched_yield();
    return;
  }
  if (platform::detail::WaitUserObjects(0, nullptr, false, dwMilliseconds, CurrentThreadStopObject()) ==
      STATUS_ALERTED)
    StopTerminatedThread();
}

USBAUDIO_END_C
