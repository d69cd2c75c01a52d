// Deferred procedure calls: KeInsertQueueDpc queues a DPC (one already
// queued is not queued twice) and one of the DPC threads, one per simulated
// processor, runs it at DISPATCH_LEVEL. Expired timers queue their DPCs
// here too. As on a multiprocessor, a DPC queued again while it runs may
// run on the other processor at the same time.
#include <condition_variable>
#include <deque>
#include <mutex>
#include <set>
#include <thread>

#include "platform/kernel/dispatch_time.h"
#include "platform/kernel/dpc_queue.h"
#include "platform/kernel/host_timing.h"
#include "platform/kernel/internal.h"

namespace {

using platform::detail::BugCheckAt;

constexpr int kProcessors = 2;

struct Queued {
  PKDPC dpc;
  const char* kind;
};

struct DpcQueue {
  std::mutex lock;
  std::condition_variable changed;
  std::deque<Queued> items;
  // Taken by a DPC thread and still waiting out the injected latency: still
  // queued for KeInsertQueueDpc and KeRemoveQueueDpc.
  std::set<PKDPC> latent;
  int running = 0;
  bool started = false;
};

DpcQueue& TheQueue() {
  static DpcQueue* q = new DpcQueue;
  return *q;
}

// DpcData marks a queued DPC, as the kernel's does.
void* QueuedMark() { return &TheQueue(); }

void DpcThread() {
  DpcQueue& q = TheQueue();
  std::unique_lock<std::mutex> lock(q.lock);
  for (;;) {
    q.changed.wait(lock, [&] { return !q.items.empty(); });
    Queued item = q.items.front();
    q.items.pop_front();
    q.running++;
    q.latent.insert(item.dpc);
    lock.unlock();
    // Still queued while the injected latency passes: inserting it again
    // meanwhile is refused, as for a DPC waiting for its processor.
    platform::detail::InjectLatency();
    lock.lock();
    PKDPC dpc = item.dpc;
    if (q.latent.erase(dpc) == 0) {  // removed meanwhile
      q.running--;
      q.changed.notify_all();
      continue;
    }
    PKDEFERRED_ROUTINE routine = dpc->DeferredRoutine;
    PVOID context = dpc->DeferredContext;
    PVOID arg1 = dpc->SystemArgument1;
    PVOID arg2 = dpc->SystemArgument2;
    dpc->DpcData = NULL;  // may be queued again from here on, even by itself
    lock.unlock();
    platform::detail::NoteDispatchSite(reinterpret_cast<const void*>(routine), item.kind);
    platform::detail::SetIrql(DISPATCH_LEVEL);
    routine(dpc, context, arg1, arg2);
    if (platform::detail::CurrentIrql() != DISPATCH_LEVEL)
      BugCheckAt(reinterpret_cast<const void*>(routine), "IRQL_NOT_RESTORED", "%s returned at IRQL %u", item.kind,
                 platform::detail::CurrentIrql());
    platform::detail::SetIrql(PASSIVE_LEVEL);
    lock.lock();
    q.running--;
    q.changed.notify_all();
  }
}

bool Insert(PKDPC dpc, PVOID arg1, PVOID arg2, const char* kind) {
  DpcQueue& q = TheQueue();
  std::lock_guard<std::mutex> lock(q.lock);
  if (dpc->DpcData) return false;
  if (!q.started) {
    for (int i = 0; i < kProcessors; ++i) std::thread(DpcThread).detach();
    q.started = true;
  }
  dpc->SystemArgument1 = arg1;
  dpc->SystemArgument2 = arg2;
  dpc->DpcData = QueuedMark();
  if (dpc->Importance == HighImportance)
    q.items.push_front({dpc, kind});
  else
    q.items.push_back({dpc, kind});
  q.changed.notify_one();
  return true;
}

void RequireDpc(PKDPC dpc, const void* caller, const char* what) {
  if (!dpc || dpc->Type != 0x13 || !dpc->DeferredRoutine)
    BugCheckAt(caller, "DPC_INVALID", "%s on %p, which is not an initialized DPC", what, static_cast<void*>(dpc));
}

}  // namespace

namespace platform::detail {

bool QueueTimerDpc(PKDPC dpc, PVOID arg1, PVOID arg2) { return Insert(dpc, arg1, arg2, "timer DPC"); }

size_t PendingDpcs() {
  DpcQueue& q = TheQueue();
  std::lock_guard<std::mutex> lock(q.lock);
  return q.items.size() + static_cast<size_t>(q.running);
}

}  // namespace platform::detail

extern "C" {

VOID NTAPI KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext) {
  memset(Dpc, 0, sizeof *Dpc);
  Dpc->Type = 0x13;  // DpcObject
  Dpc->Importance = MediumImportance;
  Dpc->DeferredRoutine = DeferredRoutine;
  Dpc->DeferredContext = DeferredContext;
}

VOID NTAPI KeSetImportanceDpc(PRKDPC Dpc, KDPC_IMPORTANCE Importance) { Dpc->Importance = static_cast<UCHAR>(Importance); }

BOOLEAN NTAPI KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2) {
  const void* caller = USBAUDIO_CALLER();
  platform::detail::RequireIrqlAtMost(HIGH_LEVEL, caller, "IRQL_DPC", "KeInsertQueueDpc");
  RequireDpc(Dpc, caller, "KeInsertQueueDpc");
  return Insert(Dpc, SystemArgument1, SystemArgument2, "DPC") ? TRUE : FALSE;
}

BOOLEAN NTAPI KeRemoveQueueDpc(PRKDPC Dpc) {
  RequireDpc(Dpc, USBAUDIO_CALLER(), "KeRemoveQueueDpc");
  DpcQueue& q = TheQueue();
  std::lock_guard<std::mutex> lock(q.lock);
  for (auto it = q.items.begin(); it != q.items.end(); ++it) {
    if (it->dpc == Dpc) {
      q.items.erase(it);
      Dpc->DpcData = NULL;
      q.changed.notify_all();
      return TRUE;
    }
  }
  if (q.latent.erase(Dpc) != 0) {
    Dpc->DpcData = NULL;
    return TRUE;
  }
  return FALSE;  // not queued, or already running
}

VOID NTAPI KeFlushQueuedDpcs(VOID) {
  platform::detail::RequireIrqlAtMost(PASSIVE_LEVEL, USBAUDIO_CALLER(), "IRQL_NOT_PASSIVE", "KeFlushQueuedDpcs");
  DpcQueue& q = TheQueue();
  std::unique_lock<std::mutex> lock(q.lock);
  q.changed.wait(lock, [&] { return q.items.empty() && q.running == 0; });
}

}  // extern "C"
