// System threads, their objects and kernel handles. A thread object is a
// dispatcher object signalled when its thread ends; it lives while a handle
// or a reference names it or its thread runs. PsTerminateSystemThread
// leaves the routine with longjmp back to the thread's start wrapper.
#include <csetjmp>
#include <cstdio>
#include <map>
#include <mutex>
#include <thread>

#include "platform/kernel/internal.h"
#include "platform/kernel/io_manager.h"

struct _KTHREAD {
  DISPATCHER_HEADER Header;
  KPRIORITY priority;
  // Guarded by the thread table lock.
  LONG references;  // handles and ObReferenceObject* references
  bool system;
  bool running;
  PKSTART_ROUTINE routine;
  PVOID context;
  const void* creator;
  jmp_buf exit;
};

namespace {

using platform::detail::BugCheckAt;

_OBJECT_TYPE g_threadType = {"Thread"};
POBJECT_TYPE g_threadTypePointer = &g_threadType;

struct ThreadTable {
  std::mutex lock;
  std::map<HANDLE, PKTHREAD> handles;
  std::map<PKTHREAD, const void*> objects;  // live system thread objects, creator
  ULONG_PTR nextHandle = 0;
};

ThreadTable& Table() {
  static ThreadTable* t = new ThreadTable;
  return *t;
}

thread_local PKTHREAD t_current = nullptr;

void InitializeObject(PKTHREAD thread) {
  thread->Header.Type = platform::detail::ThreadObject;
  thread->Header.Size = sizeof(DISPATCHER_HEADER) / sizeof(LONG);
  InitializeListHead(&thread->Header.WaitListHead);
  thread->priority = 8;
}

// Frees the object when nothing names it any more. Called with the lock.
void FreeIfUnused(ThreadTable& t, PKTHREAD thread) {
  if (thread->references > 0 || thread->running) return;
  t.objects.erase(thread);
  delete thread;
}

void Run(PKTHREAD self) {
  t_current = self;
  platform::detail::SetIrql(PASSIVE_LEVEL);
  if (setjmp(self->exit) == 0) self->routine(self->context);
  if (platform::detail::CurrentIrql() != PASSIVE_LEVEL)
    BugCheckAt(reinterpret_cast<const void*>(self->routine), "IRQL_NOT_RESTORED",
               "system thread ended at IRQL %u", platform::detail::CurrentIrql());
  ThreadTable& t = Table();
  std::lock_guard<std::mutex> lock(t.lock);
  // Signalled under the table lock, so a last dereference cannot free the
  // object in between.
  self->running = false;
  platform::detail::SetSignalState(&self->Header, 1);
  FreeIfUnused(t, self);
}

}  // namespace

namespace platform {

size_t OutstandingThreads() {
  ThreadTable& t = Table();
  std::lock_guard<std::mutex> lock(t.lock);
  return t.objects.size();
}

std::string DescribeOutstandingThreads() {
  ThreadTable& t = Table();
  std::lock_guard<std::mutex> lock(t.lock);
  std::string s;
  for (auto& [thread, creator] : t.objects) {
    char line[160];
    snprintf(line, sizeof line, "  thread object %p (%s, %d references) created by ", static_cast<void*>(thread),
             thread->running ? "running" : "ended", thread->references);
    s += line + detail::DescribeAddress(creator) + "\n";
  }
  return s;
}

namespace detail {

size_t OutstandingThreadHandles() {
  ThreadTable& t = Table();
  std::lock_guard<std::mutex> lock(t.lock);
  return t.handles.size();
}

bool CloseThreadHandle(HANDLE handle) {
  ThreadTable& t = Table();
  std::lock_guard<std::mutex> lock(t.lock);
  auto it = t.handles.find(handle);
  if (it == t.handles.end()) return false;
  PKTHREAD thread = it->second;
  t.handles.erase(it);
  thread->references--;
  FreeIfUnused(t, thread);
  return true;
}

}  // namespace detail
}  // namespace platform

extern "C" {

POBJECT_TYPE* PsThreadType = &g_threadTypePointer;

NTSTATUS NTAPI PsCreateSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                                    HANDLE ProcessHandle, PCLIENT_ID ClientId, PKSTART_ROUTINE StartRoutine,
                                    PVOID StartContext) {
  (void)DesiredAccess;
  (void)ObjectAttributes;
  (void)ProcessHandle;
  const void* caller = USBAUDIO_CALLER();
  platform::detail::RequireIrqlAtMost(PASSIVE_LEVEL, caller, "IRQL_THREAD_NOT_PASSIVE", "PsCreateSystemThread");
  if (!ThreadHandle || !StartRoutine) return STATUS_INVALID_PARAMETER;
  PKTHREAD thread = new _KTHREAD();
  InitializeObject(thread);
  thread->references = 1;  // the handle
  thread->system = true;
  thread->running = true;
  thread->routine = StartRoutine;
  thread->context = StartContext;
  thread->creator = caller;
  HANDLE handle;
  {
    ThreadTable& t = Table();
    std::lock_guard<std::mutex> lock(t.lock);
    // Kernel handles have the top bit set; file handles of the I/O manager
    // are small numbers.
    t.nextHandle += 4;
    handle = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(0xFFFFFFFF80000000ULL) + t.nextHandle);
    t.handles[handle] = thread;
    t.objects[thread] = caller;
  }
  if (ClientId) {
    ClientId->UniqueProcess = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(4));
    ClientId->UniqueThread = handle;
  }
  *ThreadHandle = handle;
  std::thread(Run, thread).detach();
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI PsTerminateSystemThread(NTSTATUS ExitStatus) {
  (void)ExitStatus;
  const void* caller = USBAUDIO_CALLER();
  if (!t_current || !t_current->system)
    BugCheckAt(caller, "PS_TERMINATE_NOT_SYSTEM_THREAD", "PsTerminateSystemThread outside a system thread");
  platform::detail::RequireIrqlAtMost(PASSIVE_LEVEL, caller, "IRQL_THREAD_NOT_PASSIVE", "PsTerminateSystemThread");
  longjmp(t_current->exit, 1);
}

PKTHREAD NTAPI KeGetCurrentThread(VOID) {
  if (!t_current) {
    // Threads the platform did not create: an object per thread that is
    // never signalled and never freed while the thread runs.
    static thread_local _KTHREAD own;
    if (own.Header.Type != platform::detail::ThreadObject) InitializeObject(&own);
    t_current = &own;
  }
  return t_current;
}

PETHREAD NTAPI PsGetCurrentThread(VOID) { return reinterpret_cast<PETHREAD>(KeGetCurrentThread()); }

KPRIORITY NTAPI KeSetPriorityThread(PKTHREAD Thread, KPRIORITY Priority) {
  if (Priority < LOW_PRIORITY || Priority >= MAXIMUM_PRIORITY)
    BugCheckAt(USBAUDIO_CALLER(), "THREAD_PRIORITY_INVALID", "KeSetPriorityThread(%d)", Priority);
  return __atomic_exchange_n(&Thread->priority, Priority, __ATOMIC_RELAXED);
}

KPRIORITY NTAPI KeQueryPriorityThread(PKTHREAD Thread) { return __atomic_load_n(&Thread->priority, __ATOMIC_RELAXED); }

NTSTATUS NTAPI ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess, POBJECT_TYPE ObjectType,
                                         KPROCESSOR_MODE AccessMode, PVOID* Object,
                                         POBJECT_HANDLE_INFORMATION HandleInformation) {
  platform::detail::RequireIrqlAtMost(APC_LEVEL, USBAUDIO_CALLER(), "IRQL_OBJECT_REFERENCE",
                                      "ObReferenceObjectByHandle");
  *Object = NULL;
  // A user-mode caller reaches only its own process's handles; the kernel
  // also reaches the kernel handle table.
  if (AccessMode == UserMode)
    return platform::detail::ReferenceProcessHandle(Handle, DesiredAccess, ObjectType, true, Object,
                                                    HandleInformation);
  {
    ThreadTable& t = Table();
    std::lock_guard<std::mutex> lock(t.lock);
    auto it = t.handles.find(Handle);
    if (it != t.handles.end()) {
      if (ObjectType && ObjectType != &g_threadType) return STATUS_OBJECT_TYPE_MISMATCH;
      it->second->references++;
      *Object = it->second;
      if (HandleInformation) {
        HandleInformation->HandleAttributes = 0;
        HandleInformation->GrantedAccess = DesiredAccess;
      }
      return STATUS_SUCCESS;
    }
  }
  return platform::detail::ReferenceProcessHandle(Handle, DesiredAccess, ObjectType, false, Object,
                                                  HandleInformation);
}

LONG_PTR FASTCALL ObfReferenceObject(PVOID Object) {
  const void* caller = USBAUDIO_CALLER();
  {
    ThreadTable& t = Table();
    std::lock_guard<std::mutex> lock(t.lock);
    if (t.objects.count(static_cast<PKTHREAD>(Object))) return ++static_cast<PKTHREAD>(Object)->references;
  }
  LONG_PTR count;
  if (platform::detail::ReferenceProcessObject(Object, +1, caller, &count)) return count;
  BugCheckAt(caller, "OBJECT_REFERENCE_INVALID", "ObReferenceObject on %p, which is not a live thread, event or process object",
             Object);
}

LONG_PTR FASTCALL ObfDereferenceObject(PVOID Object) {
  const void* caller = USBAUDIO_CALLER();
  platform::detail::RequireIrqlAtMost(DISPATCH_LEVEL, caller, "IRQL_OBJECT_REFERENCE", "ObDereferenceObject");
  {
    ThreadTable& t = Table();
    std::lock_guard<std::mutex> lock(t.lock);
    PKTHREAD thread = static_cast<PKTHREAD>(Object);
    if (t.objects.count(thread)) {
      if (thread->references <= 0)
        BugCheckAt(caller, "OBJECT_REFERENCE_UNDERFLOW", "ObDereferenceObject of %p without a reference", Object);
      LONG_PTR left = --thread->references;
      FreeIfUnused(t, thread);
      return left;
    }
  }
  LONG_PTR count;
  if (platform::detail::ReferenceProcessObject(Object, -1, caller, &count)) return count;
  BugCheckAt(caller, "OBJECT_REFERENCE_INVALID",
             "ObDereferenceObject on %p, which is not a live thread, event or process object", Object);
}

NTSTATUS NTAPI ZwClose(HANDLE Handle) {
  platform::detail::RequireIrqlAtMost(PASSIVE_LEVEL, USBAUDIO_CALLER(), "IRQL_NOT_PASSIVE", "ZwClose");
  if (platform::detail::CloseThreadHandle(Handle)) return STATUS_SUCCESS;
  if (platform::detail::CloseProcessEventHandle(Handle)) return STATUS_SUCCESS;
  return platform::IoCloseHandle(Handle);
}

}  // extern "C"
