// Threads: CreateThread (in the creator's process, suspended or not),
// ResumeThread, exit codes, ExitThread, TerminateThread, ids and recorded
// priorities. Each thread runs on a host thread of its own.
//
// A host thread cannot be killed from outside. TerminateThread therefore
// ends the thread as far as everyone else can see at once (its handle is
// signalled, its exit code final) and the host thread stops at its next
// Win32 wait or Sleep (or before it starts, when still suspended) by
// unwinding its stack (pthread_exit). A thread that never waits again runs
// on until it returns; its return value is then ignored.
#include <pthread.h>

#include <atomic>
#include <mutex>
#include <set>

#include "platform/kernel/client_process.h"
#include "platform/kernel/internal.h"
#include "platform/win32/system_host.h"
#include "platform/win32/win32_internal.h"
#include "platform/win32/win32_objects.h"

namespace platform::win32::detail {
namespace {

std::atomic<DWORD> g_nextThreadId{0x2000};

DWORD NewThreadId() { return g_nextThreadId.fetch_add(4); }

struct Self {
  ThreadObject* object = nullptr;  // set for threads CreateThread started
  DWORD id = 0;
  std::atomic<int> priority{THREAD_PRIORITY_NORMAL};  // other threads' priority cell
  bool stopReady = false;
  KEVENT neverStop;
  PKTHREAD mutexOwner = nullptr;  // set once another thread may own a mutex
  ~Self() {
    if (mutexOwner) AbandonMutexesOf(mutexOwner);
  }
};

thread_local Self t_self;

// Threads started here and not yet finished, for the end of their process.
struct Live {
  std::mutex lock;
  std::set<ThreadObject*> threads;
  std::set<ThreadObject*> started;  // entered their process
};

Live& TheLive() {
  static Live* l = new Live;
  return *l;
}

// Threads still waiting to start when their process ends never start.
void StopUnstartedThreads(ClientProcess* process) {
  Live& l = TheLive();
  std::lock_guard<std::mutex> lock(l.lock);
  for (ThreadObject* t : l.threads)
    if (t->process == process && !l.started.count(t)) KeSetEvent(&t->terminate, IO_NO_INCREMENT, FALSE);
}

// Records the exit code unless the thread already ended (terminated).
void RecordExit(ThreadObject* t, DWORD code) {
  WithObjectLock([&] {
    if (t->ended) return;
    t->ended = true;
    t->exitCode = code;
  });
}

// After the thread left its process: its mutexes are abandoned, its object
// signalled, and a program's primary thread ends the program's process.
void FinishThread(ThreadObject* t) {
  AbandonMutexesOf(KeGetCurrentThread());
  {
    Live& l = TheLive();
    std::lock_guard<std::mutex> lock(l.lock);
    l.threads.erase(t);
    l.started.erase(t);
  }
  RecordExit(t, 0);  // only when unwound before returning (it never started)
  DWORD code = 0;
  WithObjectLock([&] { code = t->exitCode; });
  KeSetEvent(&t->exited, IO_NO_INCREMENT, FALSE);
  ProcessObject* primaryOf = t->primaryOf;
  ClientProcess* process = t->process;
  Dereference(t);  // the running thread's reference
  // Last: a thread that has left holds nothing any more.
  ThreadLeft(process);
  if (primaryOf) EndProgramProcess(primaryOf, code);
}

void* ThreadMain(void* argument) {
  auto* t = static_cast<ThreadObject*>(argument);
  t_self.object = t;
  t_self.id = t->id;
  // Runs on return and while pthread_exit unwinds the stack.
  struct Finish {
    ThreadObject* t;
    ~Finish() { FinishThread(t); }
  } finish{t};
  PVOID resumed[1] = {&t->resumed};
  if (platform::detail::WaitUserObjects(1, resumed, false, INFINITE, &t->terminate) == STATUS_ALERTED)
    StopTerminatedThread();
  bool stopped = false;
  {
    // Under the lock the end of its process stops unstarted threads with.
    Live& l = TheLive();
    std::lock_guard<std::mutex> lock(l.lock);
    stopped = KeReadStateEvent(&t->terminate) != 0;
    if (!stopped) l.started.insert(t);
  }
  if (stopped) StopTerminatedThread();
  platform::ProcessScope scope(t->process);
  DWORD code = t->routine();
  RecordExit(t, code);
  return nullptr;
}

// Ends the thread for everyone else at once; the host thread stops at its
// next wait.
void Terminate(ThreadObject* t, DWORD exitCode) {
  bool first = false;
  WithObjectLock([&] {
    first = !t->ended;
    if (first) {
      t->ended = true;
      t->exitCode = exitCode;
    }
  });
  if (first) KeSetEvent(&t->exited, IO_NO_INCREMENT, FALSE);
  KeSetEvent(&t->terminate, IO_NO_INCREMENT, FALSE);
}

bool ValidPriority(int priority) {
  return priority == THREAD_PRIORITY_IDLE || priority == THREAD_PRIORITY_TIME_CRITICAL ||
         (priority >= THREAD_PRIORITY_LOWEST && priority <= THREAD_PRIORITY_HIGHEST);
}

// The thread object behind a handle (the pseudo handle: the caller's, null
// for a thread CreateThread did not start); *self tells the pseudo handle
// or a handle to the calling thread. False: not a thread handle.
bool ThreadOfHandle(const char* function, HANDLE handle, ThreadObject** thread, bool* self) {
  ClientProcess* process = RequireClientProcess(function);
  *self = handle == CurrentThreadPseudoHandle();
  if (*self) {
    *thread = t_self.object;
    if (ThreadObject* t = *thread) WithObjectLock([t] { t->references++; });
    return true;
  }
  Object* object = ReferenceHandle(process, handle);
  if (!object || object->kind != ObjectKind::Thread) {
    if (object) Dereference(object);
    return false;
  }
  *thread = static_cast<ThreadObject*>(object);
  *self = *thread == t_self.object;
  return true;
}

}  // namespace

ThreadObject* CurrentThreadObject() { return t_self.object; }

DWORD CurrentThreadIdValue() {
  if (!t_self.id) t_self.id = NewThreadId();
  return t_self.id;
}

std::atomic<int>& CurrentThreadPriority() { return t_self.object ? t_self.object->priority : t_self.priority; }

PVOID CurrentThreadStopObject() {
  if (t_self.object) return &t_self.object->terminate;
  if (!t_self.stopReady) {
    KeInitializeEvent(&t_self.neverStop, NotificationEvent, FALSE);
    t_self.stopReady = true;
  }
  return &t_self.neverStop;
}

void StopTerminatedThread() {
  if (!t_self.object)
    platform::detail::BugCheckAt(__builtin_return_address(0), "WIN32_THREAD_NOT_STOPPABLE",
                                 "a thread CreateThread did not start cannot be ended");
  pthread_exit(nullptr);
}

void TerminateThreadsOf(ClientProcess* process, DWORD exitCode) {
  Live& l = TheLive();
  std::lock_guard<std::mutex> lock(l.lock);
  for (ThreadObject* t : l.threads)
    if (t->process == process) Terminate(t, exitCode);
}

void NoteMutexOwner() {
  if (!t_self.object && !t_self.mutexOwner) t_self.mutexOwner = KeGetCurrentThread();
}

ThreadObject* StartThread(ClientProcess* process, std::function<DWORD()> routine, bool suspended,
                          ProcessObject* primaryOf) {
  static std::once_flag hooked;
  std::call_once(hooked, [] { platform::AddProcessEndHook(StopUnstartedThreads); });
  auto* t = new ThreadObject;  // its one reference: the running thread's
  KeInitializeEvent(&t->exited, NotificationEvent, FALSE);
  KeInitializeEvent(&t->terminate, NotificationEvent, FALSE);
  KeInitializeEvent(&t->resumed, NotificationEvent, suspended ? FALSE : TRUE);
  t->process = process;
  t->id = NewThreadId();
  t->routine = std::move(routine);
  t->suspendCount = suspended ? 1 : 0;
  t->primaryOf = primaryOf;
  t->references = 2;  // and the caller's
  {
    Live& l = TheLive();
    std::lock_guard<std::mutex> lock(l.lock);
    l.threads.insert(t);
  }
  ThreadEntered(process);
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  pthread_t host;
  int error = pthread_create(&host, &attributes, ThreadMain, t);
  pthread_attr_destroy(&attributes);
  if (error != 0) {
    {
      Live& l = TheLive();
      std::lock_guard<std::mutex> lock(l.lock);
      l.threads.erase(t);
    }
    ThreadLeft(process);
    delete t;
    return nullptr;
  }
  return t;
}

}  // namespace platform::win32::detail

using namespace platform::win32::detail;

namespace {
std::mutex g_failingThreadCreationsLock;
unsigned g_succeedingThreadCreations = 0;  // before the armed failures
unsigned g_failingThreadCreations = 0;

// Takes one armed failure, if any (after the successes armed before it).
bool ThreadCreationFails() {
  std::lock_guard<std::mutex> lock(g_failingThreadCreationsLock);
  if (g_failingThreadCreations == 0) return false;
  if (g_succeedingThreadCreations > 0) {
    --g_succeedingThreadCreations;
    return false;
  }
  --g_failingThreadCreations;
  return true;
}
}  // namespace

namespace platform::win32 {
void FailNextThreadCreations(unsigned count, unsigned after) {
  std::lock_guard<std::mutex> lock(g_failingThreadCreationsLock);
  g_failingThreadCreations = count;
  g_succeedingThreadCreations = count ? after : 0;
}
}  // namespace platform::win32

USBAUDIO_BEGIN_C

HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES lpThreadAttributes, SIZE_T dwStackSize,
                           LPTHREAD_START_ROUTINE lpStartAddress, LPVOID lpParameter, DWORD dwCreationFlags,
                           LPDWORD lpThreadId) {
  (void)lpThreadAttributes;
  (void)dwStackSize;
  platform::ClientProcess* process = RequireClientProcess("CreateThread");
  if (!lpStartAddress) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (ThreadCreationFails()) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  ThreadObject* t = StartThread(
      process, [lpStartAddress, lpParameter] { return lpStartAddress(lpParameter); },
      (dwCreationFlags & CREATE_SUSPENDED) != 0, nullptr);
  if (!t) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  HANDLE h = InsertHandle(process, t, THREAD_ALL_ACCESS);
  if (lpThreadId) *lpThreadId = t->id;
  Dereference(t);
  return h;
}

DWORD WINAPI ResumeThread(HANDLE hThread) {
  ThreadObject* t;
  bool self;
  if (!ThreadOfHandle("ResumeThread", hThread, &t, &self)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return static_cast<DWORD>(-1);
  }
  if (!t) return 0;  // the calling thread, not suspended
  DWORD previous = 0;
  bool resume = false;
  WithObjectLock([&] {
    previous = t->suspendCount;
    if (previous > 0) resume = --t->suspendCount == 0;
  });
  if (resume) KeSetEvent(&t->resumed, IO_NO_INCREMENT, FALSE);
  Dereference(t);
  return previous;
}

BOOL WINAPI GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode) {
  ThreadObject* t;
  bool self;
  if (!ThreadOfHandle("GetExitCodeThread", hThread, &t, &self)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  DWORD code = STILL_ACTIVE;
  if (t) {
    WithObjectLock([&] { code = t->exitCode; });
    Dereference(t);
  }
  if (!lpExitCode) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  *lpExitCode = code;
  return TRUE;
}

BOOL WINAPI TerminateThread(HANDLE hThread, DWORD dwExitCode) {
  ThreadObject* t;
  bool self;
  if (!ThreadOfHandle("TerminateThread", hThread, &t, &self) || (self && !t)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  Terminate(t, dwExitCode);
  Dereference(t);
  if (self) StopTerminatedThread();
  return TRUE;
}

void WINAPI ExitThread(DWORD dwExitCode) {
  RequireClientProcess("ExitThread");
  if (ThreadObject* t = t_self.object) RecordExit(t, dwExitCode);
  StopTerminatedThread();
}

HANDLE WINAPI GetCurrentThread(void) { return CurrentThreadPseudoHandle(); }

DWORD WINAPI GetCurrentThreadId(void) { return CurrentThreadIdValue(); }

BOOL WINAPI SetThreadPriority(HANDLE hThread, int nPriority) {
  ThreadObject* t;
  bool self;
  if (!ThreadOfHandle("SetThreadPriority", hThread, &t, &self)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  std::atomic<int>& cell = t ? t->priority : CurrentThreadPriority();
  bool valid = ValidPriority(nPriority);
  if (valid) cell.store(nPriority);
  if (t) Dereference(t);
  if (valid) return TRUE;
  SetLastError(ERROR_INVALID_PARAMETER);
  return FALSE;
}

int WINAPI GetThreadPriority(HANDLE hThread) {
  ThreadObject* t;
  bool self;
  if (!ThreadOfHandle("GetThreadPriority", hThread, &t, &self)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return THREAD_PRIORITY_ERROR_RETURN;
  }
  int priority = (t ? t->priority : CurrentThreadPriority()).load();
  if (t) Dereference(t);
  return priority;
}

USBAUDIO_END_C
