// Mutexes: CreateMutexW / OpenMutexW (named ones share the namespace of
// events), ReleaseMutex. A mutex is a user-mode mutant of the dispatcher:
// owned by a thread, re-entered by it, abandoned when its owner ends
// holding it (the next wait that takes it returns WAIT_ABANDONED_0 + i).
#include <string>

#include "platform/kernel/internal.h"
#include "platform/win32/win32_internal.h"
#include "platform/win32/win32_objects.h"

namespace {

using namespace platform::win32::detail;

#ifndef MUTEX_ALL_ACCESS
constexpr ACCESS_MASK kMutexAllAccess = MUTANT_ALL_ACCESS;
#else
constexpr ACCESS_MASK kMutexAllAccess = MUTEX_ALL_ACCESS;
#endif

}  // namespace

USBAUDIO_BEGIN_C

HANDLE WINAPI CreateMutexW(LPSECURITY_ATTRIBUTES lpMutexAttributes, BOOL bInitialOwner, LPCWSTR lpName) {
  (void)lpMutexAttributes;
  platform::ClientProcess* process = RequireClientProcess("CreateMutexW");
  auto* fresh = new MutexObject;
  if (lpName) fresh->name = reinterpret_cast<const char16_t*>(lpName);
  platform::detail::InitializeUserMutant(&fresh->mutant, bInitialOwner != FALSE);
  bool heldByEvent = false;
  MutexObject* mutex = NameMutex(fresh, &heldByEvent);
  if (!mutex) {
    delete fresh;
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  if (mutex != fresh) {
    // An existing mutex: bInitialOwner does not apply.
    delete fresh;
    HANDLE h = InsertHandle(process, mutex, kMutexAllAccess);
    Dereference(mutex);
    SetLastError(ERROR_ALREADY_EXISTS);
    return h;
  }
  if (bInitialOwner) NoteMutexOwner();
  HANDLE h = InsertHandle(process, mutex, kMutexAllAccess);
  Dereference(mutex);
  SetLastError(ERROR_SUCCESS);
  return h;
}

HANDLE WINAPI OpenMutexW(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCWSTR lpName) {
  (void)bInheritHandle;
  platform::ClientProcess* process = RequireClientProcess("OpenMutexW");
  if (!lpName) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  bool heldByEvent = false;
  MutexObject* mutex = FindNamedMutex(reinterpret_cast<const char16_t*>(lpName), &heldByEvent);
  if (!mutex) {
    SetLastError(heldByEvent ? ERROR_INVALID_HANDLE : ERROR_FILE_NOT_FOUND);
    return nullptr;
  }
  HANDLE h = InsertHandle(process, mutex, dwDesiredAccess);
  Dereference(mutex);
  return h;
}

BOOL WINAPI ReleaseMutex(HANDLE hMutex) {
  platform::ClientProcess* process = RequireClientProcess("ReleaseMutex");
  Object* object = ReferenceHandle(process, hMutex);
  if (!object || object->kind != ObjectKind::Mutex) {
    if (object) Dereference(object);
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  bool released = platform::detail::ReleaseUserMutant(&static_cast<MutexObject*>(object)->mutant);
  Dereference(object);
  if (released) return TRUE;
  SetLastError(ERROR_NOT_OWNER);
  return FALSE;
}

USBAUDIO_END_C
