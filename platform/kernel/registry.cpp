// The in-memory registry and the kernel's registry run-time routines. One
// table of keys (canonical upper-case path -> key with its id, spelled path
// and values; values keep their names' original spelling) and the pending
// change notifications, all under one lock; a change's notifications run
// after the lock is released.
#include "platform/kernel/registry.h"

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <unordered_map>

#include "platform/kernel/internal.h"

namespace {

using platform::RegistryValue;
using platform::detail::BugCheckAt;

constexpr ULONG kStringTag = platform::PoolTag("RtlS");

char16_t Upper(char16_t c) { return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - u'a' + u'A') : c; }

// Trailing backslashes do not name another key.
std::u16string Trimmed(const std::u16string& s) {
  std::u16string out = s;
  while (!out.empty() && out.back() == u'\\') out.pop_back();
  return out;
}

// Same length as Trimmed(s), so a canonical path and its spelling line up.
std::u16string Canonical(const std::u16string& s) {
  std::u16string out = Trimmed(s);
  for (char16_t& c : out) c = Upper(c);
  return out;
}

struct Key {
  uint64_t id = 0;
  std::u16string path;                                                        // as spelled at creation
  std::map<std::u16string, std::pair<std::u16string, RegistryValue>> values;  // canonical name -> (name, value)
};

struct Watch {
  std::u16string path;  // canonical
  bool subtree = false;
  ULONG filter = 0;
  std::function<void()> fire;
};

struct Registry {
  std::mutex lock;
  std::condition_variable watchesChanged;
  std::map<std::u16string, Key> keys;                 // canonical path -> key
  std::unordered_map<uint64_t, std::u16string> ids;  // key id -> canonical path
  std::map<uint64_t, Watch> watches;                  // pending, by watch id
  uint64_t nextKeyId = 1;
  uint64_t nextWatchId = 1;
};

Registry& TheRegistry() {
  static Registry* registry = new Registry;
  return *registry;
}

// The callbacks of the watches a change fired, run once the lock is released.
using Fired = std::vector<std::function<void()>>;

void RunFired(Fired& fired) {
  for (auto& fire : fired) fire();
}

bool IsAtOrBelow(const std::u16string& path, const std::u16string& base) {
  return path.size() >= base.size() && path.compare(0, base.size(), base) == 0 &&
         (path.size() == base.size() || path[base.size()] == u'\\');
}

std::u16string ParentOf(const std::u16string& canonical) {
  size_t at = canonical.rfind(u'\\');
  return at == std::u16string::npos || at == 0 ? std::u16string() : canonical.substr(0, at);
}

// Fires (and removes) every watch `select` picks. Called with the lock.
template <typename Select>
void FireWatches(Registry& r, Fired* fired, Select select) {
  bool any = false;
  for (auto it = r.watches.begin(); it != r.watches.end();) {
    if (select(it->second)) {
      fired->push_back(std::move(it->second.fire));
      it = r.watches.erase(it);
      any = true;
    } else {
      ++it;
    }
  }
  if (any) r.watchesChanged.notify_all();
}

// A change of `kind` on the key at `canonical`.
void Changed(Registry& r, const std::u16string& canonical, ULONG kind, Fired* fired) {
  FireWatches(r, fired, [&](const Watch& w) {
    return (w.filter & kind) && (w.path == canonical || (w.subtree && IsAtOrBelow(canonical, w.path)));
  });
}

// Adds the key and every missing parent ("\REGISTRY\MACHINE\A\B" creates
// \REGISTRY, \REGISTRY\MACHINE, ...); each new key is a name change of its
// parent. `spelled` is Trimmed(path), `canonical` Canonical(path).
Key& CreateKey(Registry& r, const std::u16string& canonical, const std::u16string& spelled, Fired* fired,
               bool* created = nullptr) {
  std::vector<size_t> ends;
  for (size_t at = canonical.find(u'\\', 1); at != std::u16string::npos; at = canonical.find(u'\\', at + 1))
    ends.push_back(at);
  ends.push_back(canonical.size());
  Key* key = nullptr;
  bool made = false;
  for (size_t end : ends) {
    auto [it, inserted] = r.keys.try_emplace(canonical.substr(0, end));
    if (inserted) {
      it->second.id = r.nextKeyId++;
      it->second.path = spelled.substr(0, end);
      r.ids[it->second.id] = it->first;
      Changed(r, ParentOf(it->first), platform::kRegistryNameChange, fired);
    }
    key = &it->second;
    made = inserted;
  }
  if (created) *created = made;
  return *key;
}

Key& CreateKey(Registry& r, const std::u16string& path, Fired* fired, bool* created = nullptr) {
  return CreateKey(r, Canonical(path), Trimmed(path), fired, created);
}

// Deletes the key and everything below it: the watches on them complete, the
// parent sees a name change. Called with the lock.
bool DeleteTree(Registry& r, const std::u16string& canonical, Fired* fired) {
  auto it = r.keys.find(canonical);
  if (it == r.keys.end()) return false;
  r.ids.erase(it->second.id);
  r.keys.erase(it);
  std::u16string prefix = canonical + u"\\";
  for (auto below = r.keys.lower_bound(prefix);
       below != r.keys.end() && below->first.compare(0, prefix.size(), prefix) == 0;) {
    r.ids.erase(below->second.id);
    below = r.keys.erase(below);
  }
  FireWatches(r, fired, [&](const Watch& w) { return IsAtOrBelow(w.path, canonical); });
  Changed(r, ParentOf(canonical), platform::kRegistryNameChange, fired);
  return true;
}

bool HasSubkeys(Registry& r, const std::u16string& canonical) {
  auto below = r.keys.lower_bound(canonical + u"\\");
  std::u16string prefix = canonical + u"\\";
  return below != r.keys.end() && below->first.compare(0, prefix.size(), prefix) == 0;
}

// A value written again keeps the spelling of its name, as on Windows.
void StoreValue(Key* key, const std::u16string& name, RegistryValue value) {
  auto [it, inserted] = key->values.try_emplace(Canonical(name));
  if (inserted) it->second.first = name;
  it->second.second = std::move(value);
}

// The live key with that id, or null. Called with the lock.
Key* KeyById(Registry& r, uint64_t keyId) {
  auto id = r.ids.find(keyId);
  if (id == r.ids.end()) return nullptr;
  auto it = r.keys.find(id->second);
  return it == r.keys.end() ? nullptr : &it->second;
}

std::u16string FromWide(PCWSTR s) {
  std::u16string out;
  if (s)
    for (size_t i = 0; s[i]; ++i) out.push_back(static_cast<char16_t>(s[i]));
  return out;
}

size_t WideBytesWithNull(PCWSTR s) {
  size_t n = 0;
  while (s[n]) ++n;
  return (n + 1) * sizeof(WCHAR);
}

bool IsString(ULONG type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

// Stores one value the way RTL_QUERY_REGISTRY_DIRECT does.
NTSTATUS StoreDirect(ULONG type, const uint8_t* data, ULONG length, PVOID entry, const void* caller) {
  if (!entry) BugCheckAt(caller, "REGISTRY_QUERY_INVALID", "RTL_QUERY_REGISTRY_DIRECT entry without EntryContext");
  if (type == REG_SZ || type == REG_EXPAND_SZ) {
    PUNICODE_STRING target = static_cast<PUNICODE_STRING>(entry);
    ULONG bytes = length;
    if (bytes >= sizeof(WCHAR) && !reinterpret_cast<const WCHAR*>(data)[bytes / sizeof(WCHAR) - 1])
      bytes -= sizeof(WCHAR);  // the terminating null is not part of the string
    if (bytes > 0xFFFC) return STATUS_BUFFER_TOO_SMALL;
    if (!target->Buffer) {
      target->Buffer = static_cast<PWSTR>(
          platform::detail::AllocatePool(PagedPool, bytes + sizeof(WCHAR), kStringTag, true, caller));
      if (!target->Buffer) return STATUS_INSUFFICIENT_RESOURCES;
      target->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
    } else if (target->MaximumLength < bytes + sizeof(WCHAR)) {
      return STATUS_BUFFER_TOO_SMALL;
    }
    memcpy(target->Buffer, data, bytes);
    target->Buffer[bytes / sizeof(WCHAR)] = 0;
    target->Length = static_cast<USHORT>(bytes);
    return STATUS_SUCCESS;
  }
  if (type == REG_MULTI_SZ) return STATUS_INVALID_PARAMETER;  // needs a query routine
  if (length <= sizeof(ULONG)) {
    memcpy(entry, data, length);
    return STATUS_SUCCESS;
  }
  // Larger data: the buffer starts with its size; negative = data only,
  // positive = length, type, then the data.
  LONG header;
  memcpy(&header, entry, sizeof header);
  ULONG room = static_cast<ULONG>(header < 0 ? -header : header);
  if (header < 0) {
    if (length > room) return STATUS_BUFFER_TOO_SMALL;
    memcpy(entry, data, length);
  } else {
    if (length + 2 * sizeof(ULONG) > room) return STATUS_BUFFER_TOO_SMALL;
    ULONG* words = static_cast<ULONG*>(entry);
    words[0] = length;
    words[1] = type;
    memcpy(words + 2, data, length);
  }
  return STATUS_SUCCESS;
}

}  // namespace

namespace platform {

std::u16string RegistryAbsolutePath(ULONG relativeTo, const std::u16string& path) {
  static const char16_t* roots[] = {
      u"",                                                        // RTL_REGISTRY_ABSOLUTE
      u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\",  // SERVICES
      u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\",   // CONTROL
      u"\\Registry\\Machine\\Software\\Microsoft\\Windows NT\\CurrentVersion\\",  // WINDOWS_NT
      u"\\Registry\\Machine\\Hardware\\DeviceMap\\",              // DEVICEMAP
      u"\\Registry\\User\\.Default\\",                            // USER
  };
  ULONG root = relativeTo & ~RTL_REGISTRY_OPTIONAL;
  if (root >= RTL_REGISTRY_MAXIMUM) return std::u16string();
  std::u16string tail = path;
  if (root != RTL_REGISTRY_ABSOLUTE)
    while (!tail.empty() && tail.front() == u'\\') tail.erase(0, 1);
  return roots[root] + tail;
}

void RegistrySetValue(const std::u16string& key, const std::u16string& name, ULONG type, const void* data,
                      size_t length) {
  Registry& r = TheRegistry();
  Fired fired;
  {
    std::lock_guard<std::mutex> lock(r.lock);
    Key& k = CreateKey(r, key, &fired);
    RegistryValue value;
    value.type = type;
    value.data.assign(static_cast<const uint8_t*>(data), static_cast<const uint8_t*>(data) + length);
    StoreValue(&k, name, std::move(value));
    Changed(r, r.ids[k.id], kRegistryValueChange, &fired);
  }
  RunFired(fired);
}

void RegistrySetDword(const std::u16string& key, const std::u16string& name, uint32_t value) {
  RegistrySetValue(key, name, REG_DWORD, &value, sizeof value);
}

void RegistrySetString(const std::u16string& key, const std::u16string& name, const std::u16string& value) {
  RegistrySetValue(key, name, REG_SZ, value.c_str(), (value.size() + 1) * sizeof(char16_t));
}

bool RegistryGetValue(const std::u16string& key, const std::u16string& name, RegistryValue* value) {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> lock(r.lock);
  auto k = r.keys.find(Canonical(key));
  if (k == r.keys.end()) return false;
  auto v = k->second.values.find(Canonical(name));
  if (v == k->second.values.end()) return false;
  if (value) *value = v->second.second;
  return true;
}

bool RegistryDeleteValue(const std::u16string& key, const std::u16string& name) {
  Registry& r = TheRegistry();
  Fired fired;
  bool deleted;
  {
    std::lock_guard<std::mutex> lock(r.lock);
    std::u16string canonical = Canonical(key);
    auto k = r.keys.find(canonical);
    deleted = k != r.keys.end() && k->second.values.erase(Canonical(name)) > 0;
    if (deleted) Changed(r, canonical, kRegistryValueChange, &fired);
  }
  RunFired(fired);
  return deleted;
}

bool RegistryDeleteKey(const std::u16string& key) {
  Registry& r = TheRegistry();
  Fired fired;
  bool deleted;
  {
    std::lock_guard<std::mutex> lock(r.lock);
    deleted = DeleteTree(r, Canonical(key), &fired);
  }
  RunFired(fired);
  return deleted;
}

bool RegistryKeyExists(const std::u16string& key) {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> lock(r.lock);
  return r.keys.count(Canonical(key)) > 0;
}

void RegistryClear() {
  Registry& r = TheRegistry();
  Fired fired;
  {
    std::lock_guard<std::mutex> lock(r.lock);
    r.keys.clear();
    r.ids.clear();
    FireWatches(r, &fired, [](const Watch&) { return true; });
  }
  RunFired(fired);
}

uint64_t RegistryOpenKey(const std::u16string& key) {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> lock(r.lock);
  auto k = r.keys.find(Canonical(key));
  return k == r.keys.end() ? 0 : k->second.id;
}

uint64_t RegistryCreateKey(const std::u16string& key, bool* created) {
  Registry& r = TheRegistry();
  Fired fired;
  uint64_t id;
  {
    std::lock_guard<std::mutex> lock(r.lock);
    id = CreateKey(r, key, &fired, created).id;
  }
  RunFired(fired);
  return id;
}

std::u16string RegistryKeyPath(uint64_t keyId) {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> lock(r.lock);
  Key* k = KeyById(r, keyId);
  return k ? k->path : std::u16string();
}

RegistryStatus RegistryKeySetValue(uint64_t keyId, const std::u16string& name, ULONG type, const void* data,
                                   size_t length) {
  Registry& r = TheRegistry();
  Fired fired;
  {
    std::lock_guard<std::mutex> lock(r.lock);
    Key* k = KeyById(r, keyId);
    if (!k) return RegistryStatus::kKeyDeleted;
    RegistryValue value;
    value.type = type;
    if (length) value.data.assign(static_cast<const uint8_t*>(data), static_cast<const uint8_t*>(data) + length);
    StoreValue(k, name, std::move(value));
    Changed(r, r.ids[keyId], kRegistryValueChange, &fired);
  }
  RunFired(fired);
  return RegistryStatus::kSuccess;
}

RegistryStatus RegistryKeyGetValue(uint64_t keyId, const std::u16string& name, RegistryValue* value) {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> lock(r.lock);
  Key* k = KeyById(r, keyId);
  if (!k) return RegistryStatus::kKeyDeleted;
  auto v = k->values.find(Canonical(name));
  if (v == k->values.end()) return RegistryStatus::kNotFound;
  if (value) *value = v->second.second;
  return RegistryStatus::kSuccess;
}

RegistryStatus RegistryKeyDeleteValue(uint64_t keyId, const std::u16string& name) {
  Registry& r = TheRegistry();
  Fired fired;
  {
    std::lock_guard<std::mutex> lock(r.lock);
    Key* k = KeyById(r, keyId);
    if (!k) return RegistryStatus::kKeyDeleted;
    if (!k->values.erase(Canonical(name))) return RegistryStatus::kNotFound;
    Changed(r, r.ids[keyId], kRegistryValueChange, &fired);
  }
  RunFired(fired);
  return RegistryStatus::kSuccess;
}

RegistryStatus RegistryKeySubkeys(uint64_t keyId, std::vector<std::u16string>* names) {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> lock(r.lock);
  names->clear();
  Key* k = KeyById(r, keyId);
  if (!k) return RegistryStatus::kKeyDeleted;
  std::u16string prefix = r.ids[keyId] + u"\\";
  for (auto it = r.keys.lower_bound(prefix); it != r.keys.end() && it->first.compare(0, prefix.size(), prefix) == 0;
       ++it)
    if (it->first.find(u'\\', prefix.size()) == std::u16string::npos)
      names->push_back(it->second.path.substr(prefix.size()));
  return RegistryStatus::kSuccess;
}

RegistryStatus RegistryKeyValues(uint64_t keyId, std::vector<std::pair<std::u16string, RegistryValue>>* values) {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> lock(r.lock);
  values->clear();
  Key* k = KeyById(r, keyId);
  if (!k) return RegistryStatus::kKeyDeleted;
  for (const auto& v : k->values) values->push_back(v.second);
  return RegistryStatus::kSuccess;
}

RegistryStatus RegistryDeleteLeafKey(const std::u16string& key) {
  Registry& r = TheRegistry();
  Fired fired;
  {
    std::lock_guard<std::mutex> lock(r.lock);
    std::u16string canonical = Canonical(key);
    if (!r.keys.count(canonical)) return RegistryStatus::kNotFound;
    if (HasSubkeys(r, canonical)) return RegistryStatus::kHasSubkeys;
    DeleteTree(r, canonical, &fired);
  }
  RunFired(fired);
  return RegistryStatus::kSuccess;
}

uint64_t RegistryWatchKey(uint64_t keyId, bool subtree, ULONG filter, std::function<void()> fire) {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> lock(r.lock);
  if (!KeyById(r, keyId)) return 0;
  uint64_t id = r.nextWatchId++;
  Watch& w = r.watches[id];
  w.path = r.ids[keyId];
  w.subtree = subtree;
  w.filter = filter;
  w.fire = std::move(fire);
  r.watchesChanged.notify_all();
  return id;
}

bool RegistryCompleteWatch(uint64_t watchId) {
  Registry& r = TheRegistry();
  Fired fired;
  {
    std::lock_guard<std::mutex> lock(r.lock);
    auto it = r.watches.find(watchId);
    if (it == r.watches.end()) return false;
    fired.push_back(std::move(it->second.fire));
    r.watches.erase(it);
    r.watchesChanged.notify_all();
  }
  RunFired(fired);
  return true;
}

bool RegistryWatchPending(uint64_t watchId) {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> lock(r.lock);
  return r.watches.count(watchId) > 0;
}

bool RegistryWaitForPendingWatches(size_t count, uint32_t timeoutMs) {
  Registry& r = TheRegistry();
  std::unique_lock<std::mutex> lock(r.lock);
  return r.watchesChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                   [&] { return r.watches.size() >= count; });
}

size_t RegistryPendingWatches() {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> lock(r.lock);
  return r.watches.size();
}

std::vector<RegistryKeyContents> RegistrySnapshot() {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> lock(r.lock);
  std::vector<RegistryKeyContents> all;
  for (const auto& [canonical, key] : r.keys) {
    RegistryKeyContents contents;
    contents.path = key.path;
    for (const auto& v : key.values) contents.values.push_back(v.second);
    all.push_back(std::move(contents));
  }
  return all;
}

}  // namespace platform

extern "C" {

NTSTATUS NTAPI RtlQueryRegistryValues(ULONG RelativeTo, PCWSTR Path, PRTL_QUERY_REGISTRY_TABLE QueryTable,
                                      PVOID Context, PVOID Environment) {
  (void)Environment;
  const void* caller = USBAUDIO_CALLER();
  platform::detail::RequireIrqlAtMost(PASSIVE_LEVEL, caller, "IRQL_REGISTRY_ABOVE_PASSIVE", "RtlQueryRegistryValues");
  if ((RelativeTo & RTL_REGISTRY_HANDLE) || !QueryTable)
    BugCheckAt(caller, "NOT_IMPLEMENTED_BY_STAND_IN", "registry queries by handle are not modelled");
  std::u16string keyPath = Canonical(platform::RegistryAbsolutePath(RelativeTo, FromWide(Path)));
  if (!platform::RegistryKeyExists(keyPath)) return STATUS_OBJECT_NAME_NOT_FOUND;

  std::u16string current = keyPath;
  for (PRTL_QUERY_REGISTRY_TABLE entry = QueryTable; entry->QueryRoutine || entry->Name; ++entry) {
    ULONG flags = entry->Flags;
    if (flags & RTL_QUERY_REGISTRY_TOPKEY) current = keyPath;
    if (flags & RTL_QUERY_REGISTRY_SUBKEY) {
      current = keyPath + u"\\" + Canonical(FromWide(entry->Name));
      if (!platform::RegistryKeyExists(current)) {
        if (flags & RTL_QUERY_REGISTRY_REQUIRED) return STATUS_OBJECT_NAME_NOT_FOUND;
        continue;
      }
      if (!entry->QueryRoutine) continue;
    }
    bool direct = (flags & RTL_QUERY_REGISTRY_DIRECT) != 0;
    if (direct && !entry->Name)
      BugCheckAt(caller, "REGISTRY_QUERY_INVALID", "RTL_QUERY_REGISTRY_DIRECT entry without a value name");

    RegistryValue value;
    bool found = entry->Name && !(flags & RTL_QUERY_REGISTRY_SUBKEY) &&
                 platform::RegistryGetValue(current, FromWide(entry->Name), &value);
    if (!found && entry->Name && !(flags & RTL_QUERY_REGISTRY_SUBKEY)) {
      if (flags & RTL_QUERY_REGISTRY_REQUIRED) return STATUS_OBJECT_NAME_NOT_FOUND;
      if (entry->DefaultType == REG_NONE) continue;
      value.type = entry->DefaultType;
      ULONG length = entry->DefaultLength;
      if (length == 0 && IsString(value.type) && entry->DefaultData)
        length = static_cast<ULONG>(WideBytesWithNull(static_cast<PCWSTR>(entry->DefaultData)));
      if (length == 0 && !IsString(value.type)) continue;  // nothing to store
      const uint8_t* d = static_cast<const uint8_t*>(entry->DefaultData);
      value.data.assign(d, d + length);
    }

    if (direct) {
      if (flags & RTL_QUERY_REGISTRY_TYPECHECK) {
        ULONG expected = entry->DefaultType >> RTL_QUERY_REGISTRY_TYPECHECK_SHIFT;
        if (value.type != expected) return STATUS_OBJECT_TYPE_MISMATCH;
      }
      NTSTATUS status = StoreDirect(value.type, value.data.data(), static_cast<ULONG>(value.data.size()),
                                    entry->EntryContext, caller);
      if (!NT_SUCCESS(status)) return status;
    } else if (entry->QueryRoutine) {
      if (!entry->Name) {
        // Every value of the key, in name order.
        std::vector<std::pair<std::u16string, RegistryValue>> all;
        {
          Registry& r = TheRegistry();
          std::lock_guard<std::mutex> lock(r.lock);
          auto k = r.keys.find(current);
          if (k != r.keys.end())
            for (const auto& v : k->second.values) all.push_back(v.second);
        }
        for (auto& v : all) {
          std::u16string name = v.first;
          NTSTATUS status = entry->QueryRoutine(reinterpret_cast<PWSTR>(&name[0]), v.second.type,
                                                v.second.data.data(), static_cast<ULONG>(v.second.data.size()),
                                                Context, entry->EntryContext);
          if (!NT_SUCCESS(status)) return status;
        }
        continue;
      }
      NTSTATUS status = entry->QueryRoutine(const_cast<PWSTR>(entry->Name), value.type, value.data.data(),
                                            static_cast<ULONG>(value.data.size()), Context, entry->EntryContext);
      if (!NT_SUCCESS(status)) return status;
    }
    if (found && (flags & RTL_QUERY_REGISTRY_DELETE)) platform::RegistryDeleteValue(current, FromWide(entry->Name));
  }
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlWriteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName, ULONG ValueType,
                                     PVOID ValueData, ULONG ValueLength) {
  platform::detail::RequireIrqlAtMost(PASSIVE_LEVEL, USBAUDIO_CALLER(), "IRQL_REGISTRY_ABOVE_PASSIVE",
                                      "RtlWriteRegistryValue");
  std::u16string key = platform::RegistryAbsolutePath(RelativeTo, FromWide(Path));
  if (key.empty()) return STATUS_INVALID_PARAMETER;
  platform::RegistrySetValue(key, FromWide(ValueName), ValueType, ValueData, ValueLength);
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlDeleteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName) {
  platform::detail::RequireIrqlAtMost(PASSIVE_LEVEL, USBAUDIO_CALLER(), "IRQL_REGISTRY_ABOVE_PASSIVE",
                                      "RtlDeleteRegistryValue");
  std::u16string key = platform::RegistryAbsolutePath(RelativeTo, FromWide(Path));
  if (!platform::RegistryKeyExists(key)) return STATUS_OBJECT_NAME_NOT_FOUND;
  return platform::RegistryDeleteValue(key, FromWide(ValueName)) ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
}

NTSTATUS NTAPI RtlCheckRegistryKey(ULONG RelativeTo, PWSTR Path) {
  std::u16string key = platform::RegistryAbsolutePath(RelativeTo, FromWide(Path));
  return platform::RegistryKeyExists(key) ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
}

VOID NTAPI RtlFreeUnicodeString(PUNICODE_STRING UnicodeString) {
  if (UnicodeString->Buffer) ExFreePool(UnicodeString->Buffer);
  UnicodeString->Buffer = NULL;
  UnicodeString->Length = UnicodeString->MaximumLength = 0;
}

}  // extern "C"
