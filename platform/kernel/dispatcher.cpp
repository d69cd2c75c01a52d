// Dispatcher objects (events, semaphores, mutexes) and waits. One dispatcher
// lock and one condition variable guard every object's state, as the
// kernel's dispatcher database does; waiters re-evaluate their objects on
// each signal. Timers and thread objects are signalled through
// SetSignalState.
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "platform/kernel/host_timing.h"
#include "platform/kernel/internal.h"
#include "platform/kernel/lock_order.h"

namespace {

using platform::detail::BugCheckAt;
using platform::detail::CurrentIrql;
using Clock = std::chrono::steady_clock;

using namespace platform::detail;  // object type codes

std::mutex g_lock;
std::condition_variable g_signal;

PDISPATCHER_HEADER Header(PVOID object) { return static_cast<PDISPATCHER_HEADER>(object); }

// The calling thread's identity as a mutex owner.
PKTHREAD CurrentThread() { return KeGetCurrentThread(); }

void RequireType(PVOID object, bool event, bool semaphore, bool mutex, const void* caller, const char* what) {
  UCHAR type = Header(object)->Type;
  bool ok = (event && (type == EventNotificationObject || type == EventSynchronizationObject)) ||
            (semaphore && type == SemaphoreObject) || (mutex && type == MutantObject);
  // Timers and threads are only waited for; mutex marks a wait.
  if (event && semaphore && mutex)
    ok = ok || type == TimerNotificationObject || type == TimerSynchronizationObject || type == ThreadObject;
  if (!ok) BugCheckAt(caller, "DISPATCHER_OBJECT_INVALID", "%s on %p with object type %u (not initialized?)", what, object, type);
}

// A mutex is signalled while free (state 1) and, for its owner, while held:
// the owner acquires it again recursively.
bool Signalled(PDISPATCHER_HEADER h) {
  if (h->Type == MutantObject)
    return h->SignalState > 0 || reinterpret_cast<PKMUTEX>(h)->OwnerThread == CurrentThread();
  return h->SignalState > 0;
}

// Consumes what a satisfied wait takes from the object; a kernel mutex taken
// (not re-entered) joins the lock-order graph with the waiter's call site (a
// user-mode mutant, ApcDisable 0 as on Windows, does not). Returns true when
// the wait took a mutant its last owner abandoned (it is no longer so).
bool Acquire(PDISPATCHER_HEADER h, const void* caller) {
  bool abandoned = false;
  switch (h->Type) {
    case EventSynchronizationObject:
    case TimerSynchronizationObject: h->SignalState = 0; break;
    case SemaphoreObject: h->SignalState--; break;
    case MutantObject: {
      PKMUTANT mutant = reinterpret_cast<PKMUTANT>(h);
      if (h->SignalState-- > 0) {
        if (mutant->ApcDisable) platform::detail::LockAcquired(h, caller, false);
        abandoned = mutant->Abandoned;
        mutant->Abandoned = FALSE;
      }
      mutant->OwnerThread = CurrentThread();
      break;
    }
    default: break;
  }
  return abandoned;
}

// Deadline of a Windows timeout (100 ns units: negative relative, positive
// absolute system time, 0 poll, NULL none). Timeouts expire on the clock
// tick, as the kernel only looks at its timer table on a clock interrupt: a
// 1 ms timeout at the default tick lasts up to 15.6 ms. An absolute time
// already past is a poll.
void Deadline(PLARGE_INTEGER timeout, bool* infinite, bool* poll, Clock::time_point* deadline) {
  *infinite = timeout == NULL;
  *poll = timeout != NULL && timeout->QuadPart == 0;
  if (*infinite || *poll) return;
  LONGLONG units = timeout->QuadPart;
  if (units > 0) {  // absolute system time
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    units = now.QuadPart - units;  // negative while in the future
    if (units >= 0) {
      *poll = true;
      return;
    }
  }
  if (-units > 1000000000000000LL) {  // beyond 3 years: as good as no timeout
    *infinite = true;
    return;
  }
  *deadline = platform::detail::RoundUpToTick(Clock::now() + std::chrono::nanoseconds(-units * 100));
}

void CheckWaitIrql(PLARGE_INTEGER timeout, const void* caller) {
  KIRQL irql = CurrentIrql();
  bool poll = timeout != NULL && timeout->QuadPart == 0;
  if (irql > DISPATCH_LEVEL || (!poll && irql > APC_LEVEL))
    BugCheckAt(caller, "IRQL_WAIT_AT_DISPATCH", "wait with %s timeout at IRQL %u", poll ? "a zero" : "a non-zero",
               irql);
}

// `stop` (user-mode waits only) is looked at before the objects: signalled,
// it ends the wait with STATUS_ALERTED and nothing is taken.
NTSTATUS Wait(ULONG count, PVOID objects[], WAIT_TYPE type, PLARGE_INTEGER timeout, const void* caller,
              PDISPATCHER_HEADER stop = nullptr) {
  CheckWaitIrql(timeout, caller);
  if ((count == 0 && !stop) || count > MAXIMUM_WAIT_OBJECTS)
    BugCheckAt(caller, "WAIT_OBJECT_COUNT", "wait for %u objects", count);
  for (ULONG i = 0; i < count; ++i) RequireType(objects[i], true, true, true, caller, "wait");
  bool infinite, poll;
  Clock::time_point deadline;
  Deadline(timeout, &infinite, &poll, &deadline);

  std::unique_lock<std::mutex> lock(g_lock);
  for (;;) {
    if (stop && stop->SignalState > 0) return STATUS_ALERTED;
    if (type == WaitAny) {
      for (ULONG i = 0; i < count; ++i) {
        if (Signalled(Header(objects[i]))) {
          bool abandoned = Acquire(Header(objects[i]), caller);
          return (abandoned ? STATUS_ABANDONED_WAIT_0 : STATUS_WAIT_0) + static_cast<NTSTATUS>(i);
        }
      }
    } else if (count > 0) {
      bool all = true;
      for (ULONG i = 0; i < count && all; ++i) all = Signalled(Header(objects[i]));
      if (all) {
        NTSTATUS status = STATUS_SUCCESS;
        for (ULONG i = count; i-- > 0;)
          if (Acquire(Header(objects[i]), caller)) status = STATUS_ABANDONED_WAIT_0 + static_cast<NTSTATUS>(i);
        return status;
      }
    }
    if (poll) return STATUS_TIMEOUT;
    if (infinite) {
      g_signal.wait(lock);
    } else {
      if (Clock::now() >= deadline) return STATUS_TIMEOUT;
      g_signal.wait_until(lock, deadline);
    }
  }
}

}  // namespace

void platform::detail::SetSignalState(PDISPATCHER_HEADER header, LONG state) {
  std::lock_guard<std::mutex> lock(g_lock);
  LONG previous = header->SignalState;
  header->SignalState = state;
  if (state > 0 && previous <= 0) g_signal.notify_all();
}

NTSTATUS platform::detail::WaitUserObjects(ULONG count, PVOID objects[], bool waitAll, ULONG timeoutMs,
                                           PVOID stop) {
  LARGE_INTEGER timeout;
  timeout.QuadPart = -static_cast<LONGLONG>(timeoutMs) * 10000;
  return Wait(count, objects, waitAll ? WaitAll : WaitAny, timeoutMs == 0xFFFFFFFF ? nullptr : &timeout,
              USBAUDIO_CALLER(), Header(stop));
}

void platform::detail::InitializeUserMutant(PKMUTANT mutant, bool owned) {
  std::lock_guard<std::mutex> lock(g_lock);
  memset(mutant, 0, sizeof *mutant);
  mutant->Header.Type = MutantObject;
  mutant->Header.Size = sizeof(KMUTANT) / sizeof(LONG);
  mutant->Header.SignalState = owned ? 0 : 1;
  mutant->OwnerThread = owned ? CurrentThread() : NULL;
  InitializeListHead(&mutant->Header.WaitListHead);
}

bool platform::detail::ReleaseUserMutant(PKMUTANT mutant) {
  std::lock_guard<std::mutex> lock(g_lock);
  if (mutant->OwnerThread != CurrentThread() || mutant->Header.SignalState > 0) return false;
  if (++mutant->Header.SignalState == 1) {
    mutant->OwnerThread = NULL;
    g_signal.notify_all();
  }
  return true;
}

void platform::detail::AbandonUserMutant(PKMUTANT mutant, PKTHREAD owner) {
  std::lock_guard<std::mutex> lock(g_lock);
  if (mutant->OwnerThread != owner || mutant->Header.SignalState > 0) return;
  mutant->Header.SignalState = 1;
  mutant->OwnerThread = NULL;
  mutant->Abandoned = TRUE;
  g_signal.notify_all();
}

LONG platform::detail::SignalStateOf(PDISPATCHER_HEADER header) {
  std::lock_guard<std::mutex> lock(g_lock);
  return header->SignalState;
}

extern "C" {

VOID NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
  std::lock_guard<std::mutex> lock(g_lock);
  memset(Event, 0, sizeof *Event);
  Event->Header.Type = Type == NotificationEvent ? EventNotificationObject : EventSynchronizationObject;
  Event->Header.Size = sizeof(KEVENT) / sizeof(LONG);
  Event->Header.SignalState = State ? 1 : 0;
  InitializeListHead(&Event->Header.WaitListHead);
}

LONG NTAPI KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait) {
  (void)Increment;
  platform::detail::RequireIrqlAtMost(Wait ? APC_LEVEL : DISPATCH_LEVEL, USBAUDIO_CALLER(),
                                      "IRQL_SET_EVENT", Wait ? "KeSetEvent(Wait = TRUE)" : "KeSetEvent");
  RequireType(Event, true, false, false, USBAUDIO_CALLER(), "KeSetEvent");
  std::lock_guard<std::mutex> lock(g_lock);
  LONG previous = Event->Header.SignalState;
  Event->Header.SignalState = 1;
  if (!previous) g_signal.notify_all();
  return previous;
}

LONG NTAPI KeResetEvent(PRKEVENT Event) {
  platform::detail::RequireIrqlAtMost(DISPATCH_LEVEL, USBAUDIO_CALLER(), "IRQL_SET_EVENT", "KeResetEvent");
  RequireType(Event, true, false, false, USBAUDIO_CALLER(), "KeResetEvent");
  std::lock_guard<std::mutex> lock(g_lock);
  LONG previous = Event->Header.SignalState;
  Event->Header.SignalState = 0;
  return previous;
}

VOID NTAPI KeClearEvent(PRKEVENT Event) { (void)KeResetEvent(Event); }

LONG NTAPI KeReadStateEvent(PRKEVENT Event) {
  RequireType(Event, true, false, false, USBAUDIO_CALLER(), "KeReadStateEvent");
  std::lock_guard<std::mutex> lock(g_lock);
  return Event->Header.SignalState;
}

VOID NTAPI KeInitializeSemaphore(PRKSEMAPHORE Semaphore, LONG Count, LONG Limit) {
  if (Count < 0 || Limit <= 0 || Count > Limit)
    BugCheckAt(USBAUDIO_CALLER(), "SEMAPHORE_INVALID", "KeInitializeSemaphore(count %d, limit %d)", Count, Limit);
  std::lock_guard<std::mutex> lock(g_lock);
  memset(Semaphore, 0, sizeof *Semaphore);
  Semaphore->Header.Type = SemaphoreObject;
  Semaphore->Header.Size = sizeof(KSEMAPHORE) / sizeof(LONG);
  Semaphore->Header.SignalState = Count;
  Semaphore->Limit = Limit;
  InitializeListHead(&Semaphore->Header.WaitListHead);
}

LONG NTAPI KeReleaseSemaphore(PRKSEMAPHORE Semaphore, KPRIORITY Increment, LONG Adjustment, BOOLEAN Wait) {
  (void)Increment;
  platform::detail::RequireIrqlAtMost(Wait ? APC_LEVEL : DISPATCH_LEVEL, USBAUDIO_CALLER(),
                                      "IRQL_SET_EVENT", "KeReleaseSemaphore");
  RequireType(Semaphore, false, true, false, USBAUDIO_CALLER(), "KeReleaseSemaphore");
  std::lock_guard<std::mutex> lock(g_lock);
  LONG previous = Semaphore->Header.SignalState;
  if (Adjustment <= 0 || previous > Semaphore->Limit - Adjustment)
    BugCheckAt(USBAUDIO_CALLER(), "SEMAPHORE_LIMIT_EXCEEDED", "release by %d of a semaphore at %d, limit %d",
               Adjustment, previous, Semaphore->Limit);
  Semaphore->Header.SignalState = previous + Adjustment;
  g_signal.notify_all();
  return previous;
}

LONG NTAPI KeReadStateSemaphore(PRKSEMAPHORE Semaphore) {
  RequireType(Semaphore, false, true, false, USBAUDIO_CALLER(), "KeReadStateSemaphore");
  std::lock_guard<std::mutex> lock(g_lock);
  return Semaphore->Header.SignalState;
}

VOID NTAPI KeInitializeMutex(PRKMUTEX Mutex, ULONG Level) {
  (void)Level;
  std::lock_guard<std::mutex> lock(g_lock);
  memset(Mutex, 0, sizeof *Mutex);
  Mutex->Header.Type = MutantObject;
  Mutex->Header.Size = sizeof(KMUTEX) / sizeof(LONG);
  Mutex->Header.SignalState = 1;
  Mutex->ApcDisable = 1;  // a kernel mutex, as KeInitializeMutex marks it on Windows
  InitializeListHead(&Mutex->Header.WaitListHead);
  platform::detail::ForgetLock(Mutex);
}

LONG NTAPI KeReleaseMutex(PRKMUTEX Mutex, BOOLEAN Wait) {
  const void* caller = USBAUDIO_CALLER();
  platform::detail::RequireIrqlAtMost(APC_LEVEL, caller, "IRQL_MUTEX_ABOVE_APC", "KeReleaseMutex");
  RequireType(Mutex, false, false, true, caller, "KeReleaseMutex");
  (void)Wait;
  std::lock_guard<std::mutex> lock(g_lock);
  if (Mutex->OwnerThread != CurrentThread() || Mutex->Header.SignalState > 0)
    BugCheckAt(caller, "MUTEX_NOT_OWNED", "KeReleaseMutex of %p by a thread that does not own it",
               static_cast<void*>(Mutex));
  LONG previous = Mutex->Header.SignalState;
  if (++Mutex->Header.SignalState == 1) {
    platform::detail::LockReleased(Mutex);
    Mutex->OwnerThread = NULL;
    g_signal.notify_all();
  }
  return previous;
}

LONG NTAPI KeReadStateMutex(PRKMUTEX Mutex) {
  RequireType(Mutex, false, false, true, USBAUDIO_CALLER(), "KeReadStateMutex");
  std::lock_guard<std::mutex> lock(g_lock);
  return Mutex->Header.SignalState;
}

NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                                     BOOLEAN Alertable, PLARGE_INTEGER Timeout) {
  (void)WaitReason;
  (void)WaitMode;
  (void)Alertable;
  PVOID objects[1] = {Object};
  return Wait(1, objects, WaitAny, Timeout, USBAUDIO_CALLER());
}

NTSTATUS NTAPI KeWaitForMultipleObjects(ULONG Count, PVOID Object[], WAIT_TYPE WaitType, KWAIT_REASON WaitReason,
                                        KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Timeout,
                                        PKWAIT_BLOCK WaitBlockArray) {
  (void)WaitReason;
  (void)WaitMode;
  (void)Alertable;
  if (Count > THREAD_WAIT_OBJECTS && WaitBlockArray == NULL)
    BugCheckAt(USBAUDIO_CALLER(), "WAIT_OBJECT_COUNT", "wait for %u objects without a wait block array", Count);
  if (WaitType != WaitAny && WaitType != WaitAll)
    BugCheckAt(USBAUDIO_CALLER(), "WAIT_TYPE_INVALID", "wait type %d", WaitType);
  return Wait(Count, Object, WaitType, Timeout, USBAUDIO_CALLER());
}

NTSTATUS NTAPI KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Interval) {
  (void)WaitMode;
  (void)Alertable;
  platform::detail::RequireIrqlAtMost(APC_LEVEL, USBAUDIO_CALLER(), "IRQL_WAIT_AT_DISPATCH",
                                      "KeDelayExecutionThread");
  bool infinite, poll;
  Clock::time_point deadline;
  Deadline(Interval, &infinite, &poll, &deadline);
  if (infinite) BugCheckAt(USBAUDIO_CALLER(), "DELAY_INFINITE", "KeDelayExecutionThread without an interval");
  if (!poll) std::this_thread::sleep_until(deadline);
  return STATUS_SUCCESS;
}

}  // extern "C"
