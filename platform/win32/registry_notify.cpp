// RegNotifyChangeKeyValue: one notification per call, on the next change
// the filter selects (REG_NOTIFY_CHANGE_NAME: a subkey added or deleted;
// REG_NOTIFY_CHANGE_LAST_SET: a value set or deleted) on the key or, with
// bWatchSubtree, below it, from any process or the kernel. Asynchronous: the
// event is referenced now, as the kernel references it, and signalled once;
// closing the key (or the end of the process, or the key's deletion)
// completes a pending notification and signals its event too, as on Windows.
// Synchronous: the call returns after that change.
#include "platform/kernel/client_process.h"
// The kernel headers first: <windows.h> leaves their definitions alone.
#include <condition_variable>
#include <memory>
#include <mutex>

#include "platform/win32/registry_internal.h"
#include "platform/win32/win32_internal.h"

namespace {

namespace reg = platform::win32::registry;

constexpr DWORD kFilters =
    REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_ATTRIBUTES | REG_NOTIFY_CHANGE_LAST_SET | REG_NOTIFY_CHANGE_SECURITY;

struct Completion {
  std::mutex lock;
  std::condition_variable done;
  bool fired = false;
};

LSTATUS ErrorOfEventStatus(NTSTATUS status) {
  if (status == STATUS_ACCESS_DENIED) return ERROR_ACCESS_DENIED;
  return ERROR_INVALID_HANDLE;  // not an event of this process
}

}  // namespace

USBAUDIO_BEGIN_C

LSTATUS WINAPI RegNotifyChangeKeyValue(HKEY hKey, BOOL bWatchSubtree, DWORD dwNotifyFilter, HANDLE hEvent,
                                       BOOL fAsynchronous) {
  platform::win32::detail::RequireClientProcess("RegNotifyChangeKeyValue");
  DWORD filter = dwNotifyFilter & ~static_cast<DWORD>(REG_NOTIFY_THREAD_AGNOSTIC);
  if (!filter || (filter & ~kFilters)) return ERROR_INVALID_PARAMETER;
  if (fAsynchronous && !hEvent) return ERROR_INVALID_PARAMETER;
  reg::OpenKey key;
  LSTATUS error = reg::LookUp(hKey, &key);
  if (error) return error;
  if (!(key.access & KEY_NOTIFY)) return ERROR_ACCESS_DENIED;
  bool subtree = bWatchSubtree != FALSE;

  if (fAsynchronous) {
    PVOID event = nullptr;
    NTSTATUS status =
        ObReferenceObjectByHandle(hEvent, EVENT_MODIFY_STATE, *ExEventObjectType, UserMode, &event, nullptr);
    if (!NT_SUCCESS(status)) return ErrorOfEventStatus(status);
    uint64_t watch = platform::RegistryWatchKey(key.keyId, subtree, filter, [event] {
      KeSetEvent(static_cast<PKEVENT>(event), IO_NO_INCREMENT, FALSE);
      ObDereferenceObject(event);
    });
    if (!watch) {
      ObDereferenceObject(event);
      return ERROR_KEY_DELETED;
    }
    if (!reg::AddWatch(hKey, watch)) platform::RegistryCompleteWatch(watch);  // closed meanwhile
    return ERROR_SUCCESS;
  }

  auto completion = std::make_shared<Completion>();
  uint64_t watch = platform::RegistryWatchKey(key.keyId, subtree, filter, [completion] {
    std::lock_guard<std::mutex> lock(completion->lock);
    completion->fired = true;
    completion->done.notify_all();
  });
  if (!watch) return ERROR_KEY_DELETED;
  if (!reg::AddWatch(hKey, watch)) platform::RegistryCompleteWatch(watch);
  std::unique_lock<std::mutex> lock(completion->lock);
  completion->done.wait(lock, [&] { return completion->fired; });
  return ERROR_SUCCESS;
}

USBAUDIO_END_C
