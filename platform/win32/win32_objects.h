// The Win32 layer's own waitable objects (mutexes, threads, processes) and
// their per-process handle tables. Events and files live in the kernel
// stand-ins (platform/kernel/client_process.h); a handle value is unique
// across all tables, so a handle is found in at most one of them.
#pragma once

#include <windows.h>

#include <atomic>
#include <functional>
#include <string>

namespace platform {
struct ClientProcess;
}

namespace platform::win32::detail {

enum class ObjectKind { Mutex, Thread, Process };

// Counts of live objects (handles.cpp), for leak checks.
void ObjectMade();
void ObjectGone();

// Every object is guarded by the object lock of handles.cpp; it lives while
// a handle, a running thread (its own object) or a wait names it.
struct Object {
  explicit Object(ObjectKind k) : kind(k) { ObjectMade(); }
  virtual ~Object() { ObjectGone(); }
  Object(const Object&) = delete;
  Object& operator=(const Object&) = delete;
  // The dispatcher object a wait takes.
  virtual PVOID Waitable() = 0;
  const ObjectKind kind;
  LONG references = 1;
};

struct MutexObject : Object {
  MutexObject() : Object(ObjectKind::Mutex) {}
  PVOID Waitable() override { return &mutant; }
  KMUTANT mutant;
  std::u16string name;  // empty: unnamed
};

struct ThreadObject : Object {
  ThreadObject() : Object(ObjectKind::Thread) {}
  PVOID Waitable() override { return &exited; }
  KEVENT exited;     // notification: signalled when the thread ends or is terminated
  KEVENT terminate;  // notification: the thread's waits end and it stops
  KEVENT resumed;    // notification: a suspended thread may start
  ClientProcess* process = nullptr;
  DWORD id = 0;
  std::function<DWORD()> routine;
  // Guarded by the object lock.
  DWORD exitCode = STILL_ACTIVE;
  DWORD suspendCount = 0;
  bool ended = false;  // exit code final (returned, ExitThread or TerminateThread)
  std::atomic<int> priority{THREAD_PRIORITY_NORMAL};
  // A program's primary thread ends its process when it returns.
  struct ProcessObject* primaryOf = nullptr;
};

struct ProcessObject : Object {
  ProcessObject() : Object(ObjectKind::Process) {}
  PVOID Waitable() override { return &exited; }
  KEVENT exited;  // notification: signalled when the process has ended
  ClientProcess* process = nullptr;
  DWORD id = 0;
  DWORD exitCode = STILL_ACTIVE;  // guarded by the object lock
};

// Pseudo handles (GetCurrentProcess, GetCurrentThread).
inline HANDLE CurrentProcessPseudoHandle() { return reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1)); }
inline HANDLE CurrentThreadPseudoHandle() { return reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-2)); }

// A new handle in `process` to `object`, which gains a reference.
HANDLE InsertHandle(ClientProcess* process, Object* object, ACCESS_MASK access);
// The object behind a handle of `process` with a reference taken, or null
// (not one of this layer's handles). *access: what the handle grants.
Object* ReferenceHandle(ClientProcess* process, HANDLE handle, ACCESS_MASK* access = nullptr);
// A new mutex (one reference) enters the live set and, when named, takes
// its name; returns it, or the mutex already holding the name (a reference
// taken), or null when an event holds the name (*nameHeldByEvent).
MutexObject* NameMutex(MutexObject* fresh, bool* nameHeldByEvent);
// The mutex holding `name` with a reference taken, or null.
MutexObject* FindNamedMutex(const std::u16string& name, bool* nameHeldByEvent);
// Drops a reference; the last one frees the object (a named mutex gives
// up its name).
void Dereference(Object* object);
// Closes a handle of this layer; false when `handle` is none of them.
bool CloseObjectHandle(ClientProcess* process, HANDLE handle);
// Runs `fn` with the object lock held.
void WithObjectLock(const std::function<void()>& fn);

// The calling thread's object (null for a thread CreateThread did not
// start), its id and its priority cell.
ThreadObject* CurrentThreadObject();
DWORD CurrentThreadIdValue();
std::atomic<int>& CurrentThreadPriority();
// A dispatcher object signalled when the calling thread is terminated
// (never, for threads CreateThread did not start).
PVOID CurrentThreadStopObject();
// Leaves the calling thread (TerminateThread was called for it). Only for
// threads CreateThread started.
[[noreturn]] void StopTerminatedThread();
// Starts a thread running `routine` in `process` (suspended or not); the
// object has one reference for the caller.
ThreadObject* StartThread(ClientProcess* process, std::function<DWORD()> routine, bool suspended,
                          ProcessObject* primaryOf);
// TerminateThread for every thread still running in `process`.
void TerminateThreadsOf(ClientProcess* process, DWORD exitCode);
// Mutexes the ending thread still owns become abandoned.
void AbandonMutexesOf(PKTHREAD owner);
// The calling thread now may own mutexes: when it is not one CreateThread
// started, its end abandons them.
void NoteMutexOwner();
// Ends a program's process after its primary thread returned: its other
// threads are terminated and left, the process is ended, its object signalled.
void EndProgramProcess(ProcessObject* process, DWORD exitCode);

// Per-process count of threads CreateThread started there that have not
// yet left it.
void ThreadEntered(ClientProcess* process);
void ThreadLeft(ClientProcess* process);
bool WaitForThreadsToLeave(ClientProcess* process, DWORD timeoutMs);
size_t LiveObjects();
bool WaitForLiveObjects(size_t atMost, DWORD timeoutMs);

}  // namespace platform::win32::detail
