// The in-memory registry and the kernel's registry run-time routines. One
// table of keys (canonical upper-case path -> values); values keep their
// names' original spelling.
#include "platform/kernel/registry.h"

#include <map>
#include <mutex>

#include "platform/kernel/internal.h"

namespace {

using platform::RegistryValue;
using platform::detail::BugCheckAt;

constexpr ULONG kStringTag = platform::PoolTag("RtlS");

char16_t Upper(char16_t c) { return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - u'a' + u'A') : c; }

std::u16string Canonical(const std::u16string& s) {
  std::u16string out;
  out.reserve(s.size());
  for (char16_t c : s) out.push_back(Upper(c));
  while (!out.empty() && out.back() == u'\\') out.pop_back();
  return out;
}

struct Key {
  std::map<std::u16string, std::pair<std::u16string, RegistryValue>> values;  // canonical name -> (name, value)
};

struct Registry {
  std::mutex lock;
  std::map<std::u16string, Key> keys;  // canonical path -> key
};

Registry& TheRegistry() {
  static Registry* registry = new Registry;
  return *registry;
}

// Adds the key and every parent ("\REGISTRY\MACHINE\A\B" creates \REGISTRY,
// \REGISTRY\MACHINE, ...).
Key& CreateKey(Registry& r, const std::u16string& canonical) {
  for (size_t at = canonical.find(u'\\', 1); at != std::u16string::npos; at = canonical.find(u'\\', at + 1))
    r.keys[canonical.substr(0, at)];
  return r.keys[canonical];
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
  std::lock_guard<std::mutex> lock(r.lock);
  Key& k = CreateKey(r, Canonical(key));
  RegistryValue value;
  value.type = type;
  value.data.assign(static_cast<const uint8_t*>(data), static_cast<const uint8_t*>(data) + length);
  k.values[Canonical(name)] = {name, value};
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
  std::lock_guard<std::mutex> lock(r.lock);
  auto k = r.keys.find(Canonical(key));
  return k != r.keys.end() && k->second.values.erase(Canonical(name)) > 0;
}

bool RegistryDeleteKey(const std::u16string& key) {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> lock(r.lock);
  std::u16string canonical = Canonical(key);
  if (!r.keys.erase(canonical)) return false;
  std::u16string prefix = canonical + u"\\";
  for (auto it = r.keys.lower_bound(prefix); it != r.keys.end() && it->first.compare(0, prefix.size(), prefix) == 0;)
    it = r.keys.erase(it);
  return true;
}

bool RegistryKeyExists(const std::u16string& key) {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> lock(r.lock);
  return r.keys.count(Canonical(key)) > 0;
}

void RegistryClear() {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> lock(r.lock);
  r.keys.clear();
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
