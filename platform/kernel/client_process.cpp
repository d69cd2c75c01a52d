// Simulated client processes: the process objects (PEPROCESS), the calling
// thread's process, attaching to another process, and event objects owned
// by client processes with their per-process handles. One lock guards every
// reference count and handle table here; the objects outlive their handles
// and processes while the kernel holds references, as on Windows.
#include "platform/kernel/client_process.h"

#include <ntifs.h>

#include <atomic>
#include <cstdio>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/kernel/internal.h"
#include "platform/kernel/io_manager.h"

struct _KPROCESS {
  DISPATCHER_HEADER Header;
};

struct _EPROCESS {
  _KPROCESS Pcb;  // first, as in the kernel: a PEPROCESS is a PKPROCESS
  platform::ClientProcess* owner;
};

namespace platform {

struct ClientEvent;

struct EventHandle {
  ClientEvent* event;
  ACCESS_MASK access;
};

struct ClientProcess {
  _EPROCESS object;
  std::string name;
  bool is32Bit = false;
  bool ended = false;
  bool system = false;
  ULONG id = 4;
  // Guarded by the object lock: 1 while the process lives, plus kernel
  // references on its object.
  LONG references = 1;
  std::map<HANDLE, EventHandle> events;
  std::atomic<int> threadsInside{0};
};

// A client's event: a KEVENT of the dispatcher first, so the object the
// kernel references is the event it sets.
struct ClientEvent {
  KEVENT event;
  LONG references;  // handles + waits + kernel references
  LONG handles;
  LONG waits = 0;  // user-mode waits holding the object
  ClientProcess* creator;
  std::string creatorName;
  std::u16string name;  // empty: unnamed
};

}  // namespace platform

namespace {

using platform::ClientEvent;
using platform::ClientProcess;
using platform::detail::BugCheckAt;

constexpr UCHAR kProcessObject = 3;  // ProcessObject of the kernel's KOBJECTS

_OBJECT_TYPE g_eventType = {"Event"};
_OBJECT_TYPE g_processType = {"Process"};
POBJECT_TYPE g_eventTypePointer = &g_eventType;
POBJECT_TYPE g_processTypePointer = &g_processType;

struct Objects {
  std::mutex lock;
  std::set<ClientProcess*> processes;  // objects alive (ended ones while referenced)
  std::set<ClientEvent*> events;
  // The one namespace of named objects: events (in `events`) and the
  // objects other layers name through ClaimObjectName.
  std::map<std::u16string, void*> names;
  std::vector<void (*)(ClientProcess*)> endHooks;
  ULONG nextProcessId = 0x1000;
  std::atomic<ULONG_PTR> nextHandle{0x100};
};

Objects& TheObjects() {
  static Objects* o = new Objects;
  return *o;
}

void InitializeProcessObject(ClientProcess* p) {
  p->object.Pcb.Header.Type = kProcessObject;
  p->object.Pcb.Header.Size = sizeof(_KPROCESS) / sizeof(LONG);
  InitializeListHead(&p->object.Pcb.Header.WaitListHead);
  p->object.owner = p;
}

ClientProcess& SystemProcess() {
  static ClientProcess* system = [] {
    ClientProcess* p = new ClientProcess;
    p->name = "System";
    p->system = true;
    InitializeProcessObject(p);
    return p;
  }();
  return *system;
}

thread_local ClientProcess* t_process = nullptr;

// Called with the object lock.
void DropProcessReference(Objects& o, ClientProcess* p) {
  if (--p->references > 0 || p->system) return;
  o.processes.erase(p);
  delete p;
}

void DropEventReference(Objects& o, ClientEvent* e) {
  if (--e->references > 0) return;
  if (!e->name.empty()) o.names.erase(e->name);
  o.events.erase(e);
  delete e;
}

// The process's event handle entry, or null. Called with the object lock.
platform::EventHandle* FindEventHandle(ClientProcess* p, HANDLE handle) {
  if (!p) return nullptr;
  auto it = p->events.find(handle);
  return it == p->events.end() ? nullptr : &it->second;
}

void RequireLiveProcess(const ClientProcess* p, const void* caller, const char* what) {
  Objects& o = TheObjects();
  std::lock_guard<std::mutex> lock(o.lock);
  if (!p || !o.processes.count(const_cast<ClientProcess*>(p)) || p->ended)
    BugCheckAt(caller, "CLIENT_PROCESS_INVALID", "%s on %p, which is not a live client process", what,
               static_cast<const void*>(p));
}

}  // namespace

namespace platform {

ClientProcess* CreateClientProcess(const char* name, bool is32Bit) {
  ClientProcess* p = new ClientProcess;
  p->name = name ? name : "client";
  p->is32Bit = is32Bit;
  InitializeProcessObject(p);
  Objects& o = TheObjects();
  std::lock_guard<std::mutex> lock(o.lock);
  p->id = o.nextProcessId;
  o.nextProcessId += 4;
  o.processes.insert(p);
  return p;
}

void EndClientProcess(ClientProcess* process) {
  const void* caller = USBAUDIO_CALLER();
  RequireLiveProcess(process, caller, "EndClientProcess");
  if (process->threadsInside.load() != 0)
    BugCheckAt(caller, "CLIENT_PROCESS_BUSY", "EndClientProcess(%s) while %d threads still run in it",
               process->name.c_str(), process->threadsInside.load());
  {
    ProcessScope scope(process);
    std::vector<void (*)(ClientProcess*)> hooks;
    {
      Objects& o = TheObjects();
      std::lock_guard<std::mutex> lock(o.lock);
      hooks = o.endHooks;
    }
    for (auto hook : hooks) hook(process);
    detail::CloseProcessFiles(process);
    Objects& o = TheObjects();
    std::lock_guard<std::mutex> lock(o.lock);
    for (auto& [handle, entry] : process->events) {
      entry.event->handles--;
      DropEventReference(o, entry.event);
    }
    process->events.clear();
  }
  size_t left = 0;
  std::string mappings = detail::DescribeUserMappings(process, &left);
  if (left)
    BugCheckAt(caller, "PROCESS_HAS_LOCKED_PAGES", "client process %s ended with %zu user mappings left:\n%s",
               process->name.c_str(), left, mappings.c_str());
  Objects& o = TheObjects();
  std::lock_guard<std::mutex> lock(o.lock);
  process->ended = true;
  DropProcessReference(o, process);
}

ProcessScope::ProcessScope(ClientProcess* process) : previous_(t_process) {
  if (process) {
    RequireLiveProcess(process, USBAUDIO_CALLER(), "ProcessScope");
    process->threadsInside++;
  }
  t_process = process;
}

ProcessScope::~ProcessScope() {
  if (t_process) t_process->threadsInside--;
  t_process = previous_;
}

ClientProcess* CurrentClientProcess() { return t_process; }

bool IsClientProcess32Bit(const ClientProcess* process) { return process && process->is32Bit; }

PEPROCESS ProcessObjectOf(ClientProcess* process) {
  return process ? &process->object : &SystemProcess().object;
}

namespace {

ClientEvent* NewClientEvent(ClientProcess* process, bool manualReset, bool initialState) {
  ClientEvent* e = new ClientEvent{};
  KeInitializeEvent(&e->event, manualReset ? NotificationEvent : SynchronizationEvent, initialState);
  e->references = 1;
  e->handles = 1;
  e->creator = process;
  e->creatorName = process->name;
  return e;
}

}  // namespace

NTSTATUS CreateNamedClientEvent(ClientProcess* process, const std::u16string& name, bool manualReset,
                                bool initialState, ACCESS_MASK access, HANDLE* handle) {
  RequireLiveProcess(process, USBAUDIO_CALLER(), "CreateNamedClientEvent");
  ClientEvent* fresh = NewClientEvent(process, manualReset, initialState);
  fresh->name = name;
  HANDLE h = detail::NewProcessHandleValue();
  Objects& o = TheObjects();
  std::lock_guard<std::mutex> lock(o.lock);
  auto it = o.names.find(name);
  if (it == o.names.end()) {
    o.names[name] = fresh;
    o.events.insert(fresh);
    process->events[h] = EventHandle{fresh, access};
    *handle = h;
    return STATUS_SUCCESS;
  }
  delete fresh;
  ClientEvent* existing = static_cast<ClientEvent*>(it->second);
  if (!o.events.count(existing)) return STATUS_OBJECT_TYPE_MISMATCH;
  existing->references++;
  existing->handles++;
  process->events[h] = EventHandle{existing, access};
  *handle = h;
  return STATUS_OBJECT_NAME_EXISTS;
}

NTSTATUS OpenNamedClientEvent(ClientProcess* process, const std::u16string& name, ACCESS_MASK access,
                              HANDLE* handle) {
  RequireLiveProcess(process, USBAUDIO_CALLER(), "OpenNamedClientEvent");
  HANDLE h = detail::NewProcessHandleValue();
  Objects& o = TheObjects();
  std::lock_guard<std::mutex> lock(o.lock);
  auto it = o.names.find(name);
  if (it == o.names.end()) return STATUS_OBJECT_NAME_NOT_FOUND;
  ClientEvent* existing = static_cast<ClientEvent*>(it->second);
  if (!o.events.count(existing)) return STATUS_OBJECT_TYPE_MISMATCH;
  existing->references++;
  existing->handles++;
  process->events[h] = EventHandle{existing, access};
  *handle = h;
  return STATUS_SUCCESS;
}

void* ClaimObjectName(const std::u16string& name, void* object) {
  Objects& o = TheObjects();
  std::lock_guard<std::mutex> lock(o.lock);
  auto [it, inserted] = o.names.emplace(name, object);
  (void)inserted;
  return o.events.count(static_cast<ClientEvent*>(it->second)) ? nullptr : it->second;
}

void* FindObjectName(const std::u16string& name, bool* isEvent) {
  Objects& o = TheObjects();
  std::lock_guard<std::mutex> lock(o.lock);
  auto it = o.names.find(name);
  *isEvent = it != o.names.end() && o.events.count(static_cast<ClientEvent*>(it->second));
  return it == o.names.end() || *isEvent ? nullptr : it->second;
}

void ReleaseObjectName(const std::u16string& name, void* object) {
  Objects& o = TheObjects();
  std::lock_guard<std::mutex> lock(o.lock);
  auto it = o.names.find(name);
  if (it != o.names.end() && it->second == object) o.names.erase(it);
}

ULONG ClientProcessId(const ClientProcess* process) { return process ? process->id : 4; }

void AddProcessEndHook(void (*hook)(ClientProcess* process)) {
  Objects& o = TheObjects();
  std::lock_guard<std::mutex> lock(o.lock);
  for (auto h : o.endHooks)
    if (h == hook) return;
  o.endHooks.push_back(hook);
}

HANDLE CreateClientEvent(ClientProcess* process, bool manualReset, bool initialState, ACCESS_MASK access) {
  RequireLiveProcess(process, USBAUDIO_CALLER(), "CreateClientEvent");
  ClientEvent* e = new ClientEvent{};
  KeInitializeEvent(&e->event, manualReset ? NotificationEvent : SynchronizationEvent, initialState);
  e->references = 1;
  e->handles = 1;
  e->creator = process;
  e->creatorName = process->name;
  HANDLE handle = detail::NewProcessHandleValue();
  Objects& o = TheObjects();
  std::lock_guard<std::mutex> lock(o.lock);
  o.events.insert(e);
  process->events[handle] = EventHandle{e, access};
  return handle;
}

namespace {

// The event behind the process's handle with a reference taken, or the
// status Windows gives the client.
NTSTATUS TakeEvent(ClientProcess* process, HANDLE handle, ACCESS_MASK needed, ClientEvent** event) {
  Objects& o = TheObjects();
  std::lock_guard<std::mutex> lock(o.lock);
  EventHandle* entry = FindEventHandle(process, handle);
  if (!entry) return STATUS_INVALID_HANDLE;
  if ((entry->access & needed) != needed) return STATUS_ACCESS_DENIED;
  entry->event->references++;
  *event = entry->event;
  return STATUS_SUCCESS;
}

void PutEvent(ClientEvent* event) {
  Objects& o = TheObjects();
  std::lock_guard<std::mutex> lock(o.lock);
  DropEventReference(o, event);
}

}  // namespace

NTSTATUS SetClientEvent(ClientProcess* process, HANDLE event) {
  ClientEvent* e;
  NTSTATUS status = TakeEvent(process, event, EVENT_MODIFY_STATE, &e);
  if (!NT_SUCCESS(status)) return status;
  KeSetEvent(&e->event, IO_NO_INCREMENT, FALSE);
  PutEvent(e);
  return STATUS_SUCCESS;
}

NTSTATUS ResetClientEvent(ClientProcess* process, HANDLE event) {
  ClientEvent* e;
  NTSTATUS status = TakeEvent(process, event, EVENT_MODIFY_STATE, &e);
  if (!NT_SUCCESS(status)) return status;
  KeClearEvent(&e->event);
  PutEvent(e);
  return STATUS_SUCCESS;
}

NTSTATUS WaitClientEvent(ClientProcess* process, HANDLE event, uint32_t timeoutMs) {
  ClientEvent* e;
  NTSTATUS status = TakeEvent(process, event, SYNCHRONIZE, &e);
  if (!NT_SUCCESS(status)) return status;
  LARGE_INTEGER timeout;
  timeout.QuadPart = -static_cast<LONGLONG>(timeoutMs) * 10000;
  status = KeWaitForSingleObject(&e->event, UserRequest, UserMode, FALSE, &timeout);
  PutEvent(e);
  return status == STATUS_WAIT_0 ? STATUS_SUCCESS : status;
}

NTSTATUS HoldClientEvent(ClientProcess* process, HANDLE event, ACCESS_MASK access, PKEVENT* object) {
  Objects& o = TheObjects();
  std::lock_guard<std::mutex> lock(o.lock);
  EventHandle* entry = FindEventHandle(process, event);
  if (!entry) return STATUS_INVALID_HANDLE;
  if ((entry->access & access) != access) return STATUS_ACCESS_DENIED;
  entry->event->references++;
  entry->event->waits++;
  *object = &entry->event->event;
  return STATUS_SUCCESS;
}

void ReleaseClientEvent(PKEVENT object) {
  auto* e = reinterpret_cast<ClientEvent*>(object);  // the event is the object's first member
  Objects& o = TheObjects();
  std::lock_guard<std::mutex> lock(o.lock);
  e->waits--;
  DropEventReference(o, e);
}

NTSTATUS CloseClientHandle(ClientProcess* process, HANDLE handle) {
  RequireLiveProcess(process, USBAUDIO_CALLER(), "CloseClientHandle");
  ProcessScope scope(process);
  if (detail::CloseProcessEventHandle(handle)) return STATUS_SUCCESS;
  return IoCloseHandle(handle);
}

size_t ClientEventHandleCount(const ClientProcess* process) {
  Objects& o = TheObjects();
  std::lock_guard<std::mutex> lock(o.lock);
  return process ? process->events.size() : 0;
}

namespace detail {

HANDLE NewProcessHandleValue() {
  return reinterpret_cast<HANDLE>(TheObjects().nextHandle.fetch_add(4));
}

std::string ClientProcessName(const ClientProcess* process) {
  return process ? process->name : std::string("System");
}

bool CloseProcessEventHandle(HANDLE handle) {
  Objects& o = TheObjects();
  std::lock_guard<std::mutex> lock(o.lock);
  ClientProcess* p = t_process;
  if (!p) return false;
  auto it = p->events.find(handle);
  if (it == p->events.end()) return false;
  ClientEvent* e = it->second.event;
  p->events.erase(it);
  e->handles--;
  DropEventReference(o, e);
  return true;
}

NTSTATUS ReferenceProcessHandle(HANDLE handle, ACCESS_MASK desired, POBJECT_TYPE type, bool checkAccess,
                                PVOID* object, POBJECT_HANDLE_INFORMATION info) {
  // Kernel handles (the top bit set) live in the system's kernel table, out
  // of a user-mode caller's reach.
  if (reinterpret_cast<LONG_PTR>(handle) < 0) return STATUS_INVALID_HANDLE;
  {
    Objects& o = TheObjects();
    std::lock_guard<std::mutex> lock(o.lock);
    if (EventHandle* entry = FindEventHandle(t_process, handle)) {
      if (type && type != &g_eventType) return STATUS_OBJECT_TYPE_MISMATCH;
      if (checkAccess && (entry->access & desired) != desired) return STATUS_ACCESS_DENIED;
      entry->event->references++;
      *object = &entry->event->event;
      if (info) {
        info->HandleAttributes = 0;
        info->GrantedAccess = entry->access;
      }
      return STATUS_SUCCESS;
    }
  }
  if (IoFileObjectOfHandle(handle)) {
    if (type) return STATUS_OBJECT_TYPE_MISMATCH;  // no file object type on the host
    BugCheckAt(USBAUDIO_CALLER(), "NOT_IMPLEMENTED_BY_STAND_IN", "references to file objects by handle");
  }
  return STATUS_INVALID_HANDLE;
}

bool ReferenceProcessObject(PVOID object, int delta, const void* caller, LONG_PTR* count) {
  Objects& o = TheObjects();
  std::lock_guard<std::mutex> lock(o.lock);
  if (o.events.count(static_cast<ClientEvent*>(object))) {
    ClientEvent* e = static_cast<ClientEvent*>(object);
    if (delta < 0 && e->references - e->handles - e->waits <= 0)
      BugCheckAt(caller, "OBJECT_REFERENCE_UNDERFLOW", "ObDereferenceObject of event %p without a reference", object);
    *count = e->references + delta;
    if (delta > 0)
      e->references++;
    else
      DropEventReference(o, e);
    return true;
  }
  ClientProcess* p = object == &SystemProcess().object ? &SystemProcess() : nullptr;
  for (auto it = o.processes.begin(); !p && it != o.processes.end(); ++it)
    if (&(*it)->object == object) p = *it;
  if (!p) return false;
  if (delta < 0 && p->references - (p->ended ? 0 : 1) <= 0)
    BugCheckAt(caller, "OBJECT_REFERENCE_UNDERFLOW", "ObDereferenceObject of process %p (%s) without a reference",
               object, p->name.c_str());
  *count = p->references + delta;
  if (delta > 0)
    p->references++;
  else
    DropProcessReference(o, p);
  return true;
}

std::string DescribeClientObjectReferences(size_t* count) {
  Objects& o = TheObjects();
  std::lock_guard<std::mutex> lock(o.lock);
  std::string s;
  *count = 0;
  for (ClientEvent* e : o.events) {
    LONG kernel = e->references - e->handles - e->waits;
    if (kernel <= 0) continue;
    ++*count;
    char line[200];
    snprintf(line, sizeof line, "  event %p of process %s: %d kernel references, %d handles\n",
             static_cast<void*>(e), e->creatorName.c_str(), kernel, e->handles);
    s += line;
  }
  for (ClientProcess* p : o.processes) {
    LONG kernel = p->references - (p->ended ? 0 : 1);
    if (kernel <= 0) continue;
    ++*count;
    char line[200];
    snprintf(line, sizeof line, "  process object %p (%s%s): %d kernel references\n", static_cast<void*>(&p->object),
             p->name.c_str(), p->ended ? ", ended" : "", kernel);
    s += line;
  }
  return s;
}

}  // namespace detail
}  // namespace platform

extern "C" {

POBJECT_TYPE* ExEventObjectType = &g_eventTypePointer;
POBJECT_TYPE* PsProcessType = &g_processTypePointer;

PEPROCESS NTAPI IoGetCurrentProcess(VOID) { return platform::ProcessObjectOf(t_process); }

BOOLEAN NTAPI IoIs32bitProcess(PIRP Irp) {
  ClientProcess* p = Irp ? platform::detail::IrpProcess(Irp) : t_process;
  return p && p->is32Bit ? TRUE : FALSE;
}

VOID NTAPI KeStackAttachProcess(PRKPROCESS Process, PRKAPC_STATE ApcState) {
  const void* caller = USBAUDIO_CALLER();
  platform::detail::RequireIrqlAtMost(APC_LEVEL, caller, "IRQL_ATTACH_ABOVE_APC", "KeStackAttachProcess");
  auto* object = reinterpret_cast<_EPROCESS*>(Process);
  ClientProcess* target = object->owner;
  if (target->system) {
    target = nullptr;
  } else {
    Objects& o = TheObjects();
    std::lock_guard<std::mutex> lock(o.lock);
    if (!o.processes.count(target) || target->ended)
      BugCheckAt(caller, "ATTACH_TO_ENDED_PROCESS", "KeStackAttachProcess to process %p, whose address space is gone",
                 static_cast<void*>(Process));
    target->threadsInside++;
  }
  memset(ApcState, 0, sizeof *ApcState);
  // The process to return to, kept where the kernel keeps its APC state.
  ApcState->ApcListHead[0].Flink = reinterpret_cast<PLIST_ENTRY>(t_process);
  ApcState->ApcListHead[0].Blink = reinterpret_cast<PLIST_ENTRY>(ApcState);
  ApcState->Process = Process;
  t_process = target;
}

VOID NTAPI KeUnstackDetachProcess(PRKAPC_STATE ApcState) {
  const void* caller = USBAUDIO_CALLER();
  if (ApcState->ApcListHead[0].Blink != reinterpret_cast<PLIST_ENTRY>(ApcState) ||
      reinterpret_cast<PKPROCESS>(platform::ProcessObjectOf(t_process)) != ApcState->Process)
    BugCheckAt(caller, "INVALID_PROCESS_DETACH_ATTEMPT",
               "KeUnstackDetachProcess with an APC state that is not the innermost attachment");
  if (t_process) t_process->threadsInside--;
  t_process = reinterpret_cast<ClientProcess*>(ApcState->ApcListHead[0].Flink);
  ApcState->ApcListHead[0].Blink = NULL;
}

}  // extern "C"
