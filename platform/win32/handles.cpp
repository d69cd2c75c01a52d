// Handle tables of the Win32 layer's objects (mutexes, threads, processes),
// one per simulated process, CloseHandle for every kind of handle, the end of
// a process closing its handles, and the calling thread's process check.
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <set>
#include <vector>

#include "platform/kernel/client_process.h"
#include "platform/kernel/internal.h"
#include "platform/win32/win32_internal.h"
#include "platform/win32/win32_objects.h"

namespace platform::win32::detail {
namespace {

struct Entry {
  Object* object;
  ACCESS_MASK access;
};

struct Table {
  std::map<HANDLE, Entry> handles;
  int threadsInside = 0;  // threads CreateThread started here, not yet left
};

struct Objects {
  std::mutex lock;
  std::condition_variable threadLeft;  // and objects gone
  size_t live = 0;
  std::map<ClientProcess*, Table> tables;
  std::set<MutexObject*> mutexes;  // live ones, for abandonment at a thread's end
};

Objects& TheObjects() {
  static Objects* o = new Objects;
  return *o;
}

// Called with the lock: true when that was the last reference. A mutex
// then leaves the live set and gives up its name at once, so a name found
// under the lock always belongs to a live mutex; the object itself is freed
// after the lock is released.
bool DropReference(Objects& o, Object* object) {
  if (--object->references > 0) return false;
  if (object->kind == ObjectKind::Mutex) {
    auto* mutex = static_cast<MutexObject*>(object);
    o.mutexes.erase(mutex);
    if (!mutex->name.empty()) platform::ReleaseObjectName(mutex->name, mutex);
  }
  return true;
}

void Free(Object* object) { delete object; }

// The end of a process closes this layer's handles in it, newest first.
void CloseProcessObjects(ClientProcess* process) {
  std::vector<Object*> freed;
  {
    Objects& o = TheObjects();
    std::lock_guard<std::mutex> lock(o.lock);
    auto it = o.tables.find(process);
    if (it == o.tables.end()) return;
    for (auto h = it->second.handles.rbegin(); h != it->second.handles.rend(); ++h)
      if (DropReference(o, h->second.object)) freed.push_back(h->second.object);
    it->second.handles.clear();
    if (it->second.threadsInside == 0) o.tables.erase(it);
  }
  for (Object* object : freed) Free(object);
}

Table& TableOf(Objects& o, ClientProcess* process) {
  static std::once_flag hooked;
  std::call_once(hooked, [] { platform::AddProcessEndHook(CloseProcessObjects); });
  return o.tables[process];
}

}  // namespace

ClientProcess* RequireClientProcess(const char* function) {
  ClientProcess* process = platform::CurrentClientProcess();
  if (!process)
    platform::detail::BugCheckAt(__builtin_return_address(0), "WIN32_CALL_OUTSIDE_CLIENT_PROCESS",
                                 "%s called in the system process (no ProcessScope put the thread into a client)",
                                 function);
  return process;
}

HANDLE InsertHandle(ClientProcess* process, Object* object, ACCESS_MASK access) {
  HANDLE handle = platform::detail::NewProcessHandleValue();
  Objects& o = TheObjects();
  std::lock_guard<std::mutex> lock(o.lock);
  object->references++;
  TableOf(o, process).handles[handle] = Entry{object, access};
  return handle;
}

MutexObject* NameMutex(MutexObject* fresh, bool* nameHeldByEvent) {
  Objects& o = TheObjects();
  std::lock_guard<std::mutex> lock(o.lock);
  *nameHeldByEvent = false;
  if (fresh->name.empty()) {
    o.mutexes.insert(fresh);
    return fresh;
  }
  void* holder = platform::ClaimObjectName(fresh->name, fresh);
  if (holder == fresh) {
    o.mutexes.insert(fresh);
    return fresh;
  }
  if (!holder) {
    *nameHeldByEvent = true;
    return nullptr;
  }
  auto* existing = static_cast<MutexObject*>(holder);  // only mutexes claim names here
  existing->references++;
  return existing;
}

MutexObject* FindNamedMutex(const std::u16string& name, bool* nameHeldByEvent) {
  Objects& o = TheObjects();
  std::lock_guard<std::mutex> lock(o.lock);
  auto* existing = static_cast<MutexObject*>(platform::FindObjectName(name, nameHeldByEvent));
  if (existing) existing->references++;
  return existing;
}

Object* ReferenceHandle(ClientProcess* process, HANDLE handle, ACCESS_MASK* access) {
  Objects& o = TheObjects();
  std::lock_guard<std::mutex> lock(o.lock);
  auto t = o.tables.find(process);
  if (t == o.tables.end()) return nullptr;
  auto it = t->second.handles.find(handle);
  if (it == t->second.handles.end()) return nullptr;
  it->second.object->references++;
  if (access) *access = it->second.access;
  return it->second.object;
}

void Dereference(Object* object) {
  bool last;
  {
    Objects& o = TheObjects();
    std::lock_guard<std::mutex> lock(o.lock);
    last = DropReference(o, object);
  }
  if (last) Free(object);
}

bool CloseObjectHandle(ClientProcess* process, HANDLE handle) {
  Object* object;
  {
    Objects& o = TheObjects();
    std::lock_guard<std::mutex> lock(o.lock);
    auto t = o.tables.find(process);
    if (t == o.tables.end()) return false;
    auto it = t->second.handles.find(handle);
    if (it == t->second.handles.end()) return false;
    object = it->second.object;
    t->second.handles.erase(it);
  }
  Dereference(object);
  return true;
}

void ObjectMade() {
  Objects& o = TheObjects();
  std::lock_guard<std::mutex> lock(o.lock);
  o.live++;
}

void ObjectGone() {
  Objects& o = TheObjects();
  std::lock_guard<std::mutex> lock(o.lock);
  o.live--;
  o.threadLeft.notify_all();
}

size_t LiveObjects() {
  Objects& o = TheObjects();
  std::lock_guard<std::mutex> lock(o.lock);
  return o.live;
}

bool WaitForLiveObjects(size_t atMost, DWORD timeoutMs) {
  Objects& o = TheObjects();
  std::unique_lock<std::mutex> lock(o.lock);
  return o.threadLeft.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return o.live <= atMost; });
}

void WithObjectLock(const std::function<void()>& fn) {
  std::lock_guard<std::mutex> lock(TheObjects().lock);
  fn();
}

void AbandonMutexesOf(PKTHREAD owner) {
  Objects& o = TheObjects();
  std::lock_guard<std::mutex> lock(o.lock);
  for (MutexObject* mutex : o.mutexes) platform::detail::AbandonUserMutant(&mutex->mutant, owner);
}

void ThreadEntered(ClientProcess* process) {
  Objects& o = TheObjects();
  std::lock_guard<std::mutex> lock(o.lock);
  TableOf(o, process).threadsInside++;
}

void ThreadLeft(ClientProcess* process) {
  Objects& o = TheObjects();
  std::lock_guard<std::mutex> lock(o.lock);
  auto it = o.tables.find(process);
  if (it != o.tables.end()) it->second.threadsInside--;
  o.threadLeft.notify_all();
}

bool WaitForThreadsToLeave(ClientProcess* process, DWORD timeoutMs) {
  Objects& o = TheObjects();
  std::unique_lock<std::mutex> lock(o.lock);
  return o.threadLeft.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
    auto it = o.tables.find(process);
    return it == o.tables.end() || it->second.threadsInside <= 0;
  });
}

}  // namespace platform::win32::detail

using namespace platform::win32::detail;

USBAUDIO_BEGIN_C

BOOL WINAPI CloseHandle(HANDLE hObject) {
  platform::ClientProcess* process = RequireClientProcess("CloseHandle");
  // Closing a pseudo handle has no effect.
  if (hObject == CurrentProcessPseudoHandle() || hObject == CurrentThreadPseudoHandle()) return TRUE;
  if (CloseObjectHandle(process, hObject)) return TRUE;
  if (hObject && NT_SUCCESS(platform::CloseClientHandle(process, hObject))) return TRUE;
  SetLastError(ERROR_INVALID_HANDLE);
  return FALSE;
}

USBAUDIO_END_C
