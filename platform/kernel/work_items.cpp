// System work items: a small pool of worker threads at PASSIVE_LEVEL serves
// one queue, so items run concurrently, each after the injected latency
// (host_timing.h). A work item is a pool allocation (tag "IoWk"), so one that is
// never freed shows up in the pool leak check.
#include "platform/kernel/work_items.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "platform/kernel/host_timing.h"
#include "platform/kernel/internal.h"

struct _IO_WORKITEM {
  PDEVICE_OBJECT device;
  PIO_WORKITEM_ROUTINE routine;
  PVOID context;
  bool queued;
};

namespace {

using platform::detail::BugCheckAt;

constexpr ULONG kWorkItemTag = platform::PoolTag("IoWk");
constexpr int kWorkers = 4;

struct WorkQueue {
  std::mutex lock;
  std::condition_variable changed;
  std::deque<PIO_WORKITEM> items;
  size_t busy = 0;
  bool started = false;
};

WorkQueue& TheQueue() {
  static WorkQueue* q = new WorkQueue;
  return *q;
}

void Worker() {
  WorkQueue& q = TheQueue();
  std::unique_lock<std::mutex> lock(q.lock);
  for (;;) {
    q.changed.wait(lock, [&] { return !q.items.empty(); });
    PIO_WORKITEM item = q.items.front();
    q.items.pop_front();
    q.busy++;
    // A worker that is slow to pick the item up: the item still counts as
    // pending and as queued (it cannot be queued again or freed) meanwhile.
    lock.unlock();
    platform::detail::InjectLatency();
    lock.lock();
    // The routine may free or requeue the item, so read it first.
    PIO_WORKITEM_ROUTINE routine = item->routine;
    PDEVICE_OBJECT device = item->device;
    PVOID context = item->context;
    item->queued = false;
    lock.unlock();
    routine(device, context);
    if (platform::detail::CurrentIrql() != PASSIVE_LEVEL)
      BugCheckAt(reinterpret_cast<const void*>(routine), "IRQL_NOT_RESTORED", "work item returned at IRQL %u",
                 platform::detail::CurrentIrql());
    lock.lock();
    q.busy--;
    q.changed.notify_all();
  }
}

}  // namespace

namespace platform {

bool WaitForWorkItems(unsigned timeoutMilliseconds) {
  WorkQueue& q = TheQueue();
  std::unique_lock<std::mutex> lock(q.lock);
  return q.changed.wait_for(lock, std::chrono::milliseconds(timeoutMilliseconds),
                            [&] { return q.items.empty() && q.busy == 0; });
}

size_t PendingWorkItems() {
  WorkQueue& q = TheQueue();
  std::lock_guard<std::mutex> lock(q.lock);
  return q.items.size() + q.busy;
}

}  // namespace platform

extern "C" {

PIO_WORKITEM NTAPI IoAllocateWorkItem(PDEVICE_OBJECT DeviceObject) {
  const void* caller = USBAUDIO_CALLER();
  platform::detail::RequireIrqlAtMost(DISPATCH_LEVEL, caller, "IRQL_WORK_ITEM_ABOVE_DISPATCH", "IoAllocateWorkItem");
  if (!DeviceObject || DeviceObject->Type != IO_TYPE_DEVICE)
    BugCheckAt(caller, "WORK_ITEM_INVALID", "IoAllocateWorkItem for %p, which is not a device object",
               static_cast<void*>(DeviceObject));
  PIO_WORKITEM item = static_cast<PIO_WORKITEM>(
      platform::detail::AllocatePool(NonPagedPoolNx, sizeof(_IO_WORKITEM), kWorkItemTag, true, caller));
  if (item) item->device = DeviceObject;
  return item;
}

VOID NTAPI IoFreeWorkItem(PIO_WORKITEM IoWorkItem) {
  const void* caller = USBAUDIO_CALLER();
  {
    WorkQueue& q = TheQueue();
    std::lock_guard<std::mutex> lock(q.lock);
    if (IoWorkItem->queued) BugCheckAt(caller, "WORK_ITEM_FREED_WHILE_QUEUED", "work item %p freed while queued",
                                       static_cast<void*>(IoWorkItem));
  }
  platform::detail::FreePool(IoWorkItem, true, kWorkItemTag, caller);
}

VOID NTAPI IoQueueWorkItem(PIO_WORKITEM IoWorkItem, PIO_WORKITEM_ROUTINE WorkerRoutine, WORK_QUEUE_TYPE QueueType,
                           PVOID Context) {
  (void)QueueType;
  const void* caller = USBAUDIO_CALLER();
  platform::detail::RequireIrqlAtMost(DISPATCH_LEVEL, caller, "IRQL_WORK_ITEM_ABOVE_DISPATCH", "IoQueueWorkItem");
  WorkQueue& q = TheQueue();
  std::lock_guard<std::mutex> lock(q.lock);
  if (IoWorkItem->queued)
    BugCheckAt(caller, "WORK_ITEM_QUEUED_TWICE", "work item %p queued while still queued", static_cast<void*>(IoWorkItem));
  if (!q.started) {
    for (int i = 0; i < kWorkers; ++i) std::thread(Worker).detach();
    q.started = true;
  }
  IoWorkItem->routine = WorkerRoutine;
  IoWorkItem->context = Context;
  IoWorkItem->queued = true;
  q.items.push_back(IoWorkItem);
  q.changed.notify_all();
}

}  // extern "C"
