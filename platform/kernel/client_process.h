// Host-only: simulated user-mode processes. A thread runs in the system
// process unless a ProcessScope puts it into a client process; the I/O
// manager records the calling process in every IRP it builds (RequestorMode
// UserMode for a client), so a driver's dispatch routine runs in the
// caller's context as on Windows. Each process has its own handle table
// (its files and its events), its own user mappings
// (MmMapLockedPagesSpecifyCache with UserMode) and a bitness
// (IoIs32bitProcess). Ending a process closes its handles in its context;
// a user mapping still left after that is a verifier stop.
#pragma once

#include <wdm.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

struct ClientProcess;

// A new client process. `name` is for reports.
ClientProcess* CreateClientProcess(const char* name, bool is32Bit = false);
// Ends the process as Windows does when its last thread exits: its open
// handles are closed in its context (the end hooks' handles first, then
// files, in reverse order of opening, then events), then a user mapping still present is a verifier
// stop (PROCESS_HAS_LOCKED_PAGES). Kernel references on the process object
// (ObReferenceObject on its PEPROCESS) keep the object, not the address
// space. No thread may be in the process any more.
void EndClientProcess(ClientProcess* process);

// The current thread runs in `process` (null: the system process) until the
// scope ends; scopes nest.
class ProcessScope {
 public:
  explicit ProcessScope(ClientProcess* process);
  ~ProcessScope();
  ProcessScope(const ProcessScope&) = delete;
  ProcessScope& operator=(const ProcessScope&) = delete;

 private:
  ClientProcess* previous_;
};

// The process of the current thread (null = system process).
ClientProcess* CurrentClientProcess();
bool IsClientProcess32Bit(const ClientProcess* process);
// The kernel's view of the process (what PsGetCurrentProcess returns in it).
PEPROCESS ProcessObjectOf(ClientProcess* process);

// Event objects owned by a client process, as CreateEventW makes them: a
// handle in the process's table granting `access`. The kernel reaches the
// object through ObReferenceObjectByHandle(UserMode) in that process.
HANDLE CreateClientEvent(ClientProcess* process, bool manualReset, bool initialState,
                         ACCESS_MASK access = 0x1F0003 /* EVENT_ALL_ACCESS */);
// The client's side of its event handles; STATUS_INVALID_HANDLE for a handle
// that is not an event of that process.
NTSTATUS SetClientEvent(ClientProcess* process, HANDLE event);
NTSTATUS ResetClientEvent(ClientProcess* process, HANDLE event);
// STATUS_SUCCESS when signalled, STATUS_TIMEOUT after `timeoutMs` (the wait
// itself is not quantised to the clock tick: a user-mode wait on a signal
// wakes at once).
NTSTATUS WaitClientEvent(ClientProcess* process, HANDLE event, uint32_t timeoutMs);
// A user-mode wait's hold on the event behind a handle of the process (the
// handle must grant `access`): keeps the object while the wait runs, and is
// no kernel reference (the leak check at driver unload does not count it).
// STATUS_INVALID_HANDLE for a handle that is not an event of the process.
NTSTATUS HoldClientEvent(ClientProcess* process, HANDLE event, ACCESS_MASK access, PKEVENT* object);
void ReleaseClientEvent(PKEVENT object);
// Closes any handle of the process (event or file).
NTSTATUS CloseClientHandle(ClientProcess* process, HANDLE handle);

// Named events (CreateEventW / OpenEventW): one namespace shared by every
// process, and by the other named objects below. STATUS_SUCCESS: a new event;
// STATUS_OBJECT_NAME_EXISTS: a new handle (granting `access`) to the existing
// event, whose kind and state stay as they are; STATUS_OBJECT_TYPE_MISMATCH:
// another kind of object holds the name. The name goes with the event's last
// handle or kernel reference.
NTSTATUS CreateNamedClientEvent(ClientProcess* process, const std::u16string& name, bool manualReset,
                                bool initialState, ACCESS_MASK access, HANDLE* handle);
// STATUS_OBJECT_NAME_NOT_FOUND for a name nothing holds.
NTSTATUS OpenNamedClientEvent(ClientProcess* process, const std::u16string& name, ACCESS_MASK access,
                              HANDLE* handle);
// Other named objects of that namespace (the Win32 layer's mutexes), kept by
// their owner. Claim: `object` takes the name unless something holds it;
// returns the holder (`object` when the name was free), or null when an
// event holds it. Find: the holder, or null (*isEvent tells an event).
void* ClaimObjectName(const std::u16string& name, void* object);
void* FindObjectName(const std::u16string& name, bool* isEvent);
void ReleaseObjectName(const std::u16string& name, void* object);

// The process id GetCurrentProcessId reports (the system process: 4).
ULONG ClientProcessId(const ClientProcess* process);
// Called by EndClientProcess in the ending process, before it closes the
// process's files and events: layers above keep handles of their own (the
// Win32 layer's threads, mutexes, processes) and close them here. Adding a
// hook twice adds it once.
void AddProcessEndHook(void (*hook)(ClientProcess* process));

// User mappings (MmMapLockedPagesSpecifyCache(UserMode)) alive in the process.
size_t UserMappingCount(const ClientProcess* process);
// Event handles the process holds (leak checks of user-mode code).
size_t ClientEventHandleCount(const ClientProcess* process);
// True when [address, address + bytes) lies inside one user mapping of the
// process: what the client may touch.
bool IsUserAddressOf(const ClientProcess* process, const void* address, size_t bytes);

// The next `count` user-mode mappings fail (what MmMapLockedPagesSpecifyCache
// raises on Windows becomes a null return here).
void FailNextUserMappings(unsigned count);

}  // namespace platform
