// The plug-and-play device database: physical devices with their ids, and
// device interfaces (IoRegisterDeviceInterface, IoSetDeviceInterfaceState,
// IoGetDeviceProperty).
#include "platform/kernel/device_interfaces.h"

#include <cstdio>
#include <map>
#include <mutex>

#include "platform/kernel/internal.h"

namespace {

using platform::DeviceInterface;
using platform::PhysicalDeviceInfo;
using platform::detail::BugCheckAt;

constexpr ULONG kLinkTag = platform::PoolTag("IoDi");

struct Database {
  std::mutex lock;
  std::map<PDEVICE_OBJECT, PhysicalDeviceInfo> devices;
  std::vector<DeviceInterface> interfaces;
  std::map<uint64_t, platform::DeviceInterfaceListener> listeners;
  uint64_t nextListener = 1;
  // Held by a state change from before it alters the database until its
  // listeners have run, so they hear changes one at a time and in order.
  std::mutex changeOrder;
};

// An interface as it is after a change of its state.
using StateChange = DeviceInterface;

// Runs the listeners for `changes`; the caller holds changeOrder, not lock.
void Announce(Database& db, const std::vector<StateChange>& changes) {
  if (changes.empty()) return;
  std::vector<platform::DeviceInterfaceListener> listeners;
  {
    std::lock_guard<std::mutex> lock(db.lock);
    for (const auto& l : db.listeners) listeners.push_back(l.second);
  }
  for (const auto& change : changes)
    for (const auto& listener : listeners) listener(change, change.enabled);
}

Database& TheDatabase() {
  static Database* db = new Database;
  return *db;
}

char16_t Upper(char16_t c) { return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - u'a' + u'A') : c; }

std::u16string Ascii(const char* s) {
  std::u16string out;
  while (*s) out.push_back(static_cast<char16_t>(*s++));
  return out;
}

std::u16string GuidText(const GUID& g) {
  char s[48];
  snprintf(s, sizeof s, "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}", g.Data1, g.Data2, g.Data3, g.Data4[0],
           g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
  return Ascii(s);
}

// The part of a link after its prefix, so the kernel and user forms compare.
std::u16string LinkBody(const std::u16string& link) {
  if (link.size() >= 4 && link[0] == u'\\' && (link.compare(1, 3, u"??\\") == 0 || link.compare(1, 3, u"\\?\\") == 0))
    return link.substr(4);
  return link;
}

// Copies a multi-string (each entry null-terminated, one more null at the
// end) or a single string into the caller's buffer.
NTSTATUS CopyProperty(const std::u16string& data, ULONG length, PVOID buffer, PULONG result) {
  ULONG bytes = static_cast<ULONG>(data.size() * sizeof(char16_t));
  *result = bytes;
  if (length < bytes) return STATUS_BUFFER_TOO_SMALL;
  memcpy(buffer, data.data(), bytes);
  return STATUS_SUCCESS;
}

std::u16string MultiString(const std::vector<std::u16string>& list) {
  std::u16string out;
  for (const auto& s : list) {
    out += s;
    out.push_back(0);
  }
  out.push_back(0);
  return out;
}

}  // namespace

namespace platform {

std::u16string ToU16(PCWSTR s) {
  std::u16string out;
  if (s)
    for (size_t i = 0; s[i]; ++i) out.push_back(static_cast<char16_t>(s[i]));
  return out;
}

std::u16string ToU16(PCUNICODE_STRING s) {
  if (!s || !s->Buffer) return std::u16string();
  return std::u16string(reinterpret_cast<const char16_t*>(s->Buffer), s->Length / sizeof(WCHAR));
}

bool EqualNoCase(const std::u16string& a, const std::u16string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (Upper(a[i]) != Upper(b[i])) return false;
  return true;
}

PhysicalDeviceInfo UsbDeviceInfo(uint16_t vendorId, uint16_t productId, uint16_t revision, int interfaceNumber,
                                 uint8_t interfaceClass, uint8_t interfaceSubClass, uint8_t interfaceProtocol) {
  char base[64], mi[16] = "", rev[16];
  snprintf(base, sizeof base, "USB\\VID_%04X&PID_%04X", vendorId, productId);
  if (interfaceNumber >= 0) snprintf(mi, sizeof mi, "&MI_%02X", interfaceNumber & 0xFF);
  snprintf(rev, sizeof rev, "&REV_%04X", revision);
  char cls[64], sub[64], any[64];
  snprintf(cls, sizeof cls, "USB\\Class_%02X&SubClass_%02X&Prot_%02X", interfaceClass, interfaceSubClass,
           interfaceProtocol);
  snprintf(sub, sizeof sub, "USB\\Class_%02X&SubClass_%02X", interfaceClass, interfaceSubClass);
  snprintf(any, sizeof any, "USB\\Class_%02X", interfaceClass);
  PhysicalDeviceInfo info;
  info.deviceId = Ascii(base) + Ascii(mi);
  info.instanceId = interfaceNumber >= 0 ? Ascii("6&1a2b3c4d&0&") : Ascii("5&2c3d4e5f&0&");
  char port[16];
  snprintf(port, sizeof port, "%04X", interfaceNumber >= 0 ? interfaceNumber : 1);
  info.instanceId += Ascii(port);
  info.hardwareIds = {Ascii(base) + Ascii(rev) + Ascii(mi), Ascii(base) + Ascii(mi)};
  info.compatibleIds = {Ascii(cls), Ascii(sub), Ascii(any)};
  info.description = u"USB Audio Device";
  return info;
}

void RegisterPhysicalDevice(PDEVICE_OBJECT pdo, const PhysicalDeviceInfo& info) {
  detail::AdoptDevice(pdo);
  Database& db = TheDatabase();
  std::lock_guard<std::mutex> lock(db.lock);
  db.devices[pdo] = info;
}

void UnregisterPhysicalDevice(PDEVICE_OBJECT pdo) {
  {
    Database& db = TheDatabase();
    std::lock_guard<std::mutex> order(db.changeOrder);
    std::vector<StateChange> removed;  // interfaces that leave enabled
    {
      std::lock_guard<std::mutex> lock(db.lock);
      db.devices.erase(pdo);
      for (auto it = db.interfaces.begin(); it != db.interfaces.end();) {
        if (it->pdo != pdo) {
          ++it;
          continue;
        }
        if (it->enabled) {
          removed.push_back(*it);
          removed.back().enabled = false;
        }
        it = db.interfaces.erase(it);
      }
    }
    Announce(db, removed);
  }
  detail::ReleaseAdoptedDevice(pdo);
}

uint64_t AddDeviceInterfaceListener(DeviceInterfaceListener listener) {
  Database& db = TheDatabase();
  std::lock_guard<std::mutex> lock(db.lock);
  uint64_t id = db.nextListener++;
  db.listeners[id] = std::move(listener);
  return id;
}

void RemoveDeviceInterfaceListener(uint64_t id) {
  Database& db = TheDatabase();
  {
    std::lock_guard<std::mutex> lock(db.lock);
    db.listeners.erase(id);
  }
  // A change announced now may still be calling a copy of it: wait for it.
  std::lock_guard<std::mutex> order(db.changeOrder);
}

bool GetPhysicalDeviceInfo(PDEVICE_OBJECT pdo, PhysicalDeviceInfo* info) {
  Database& db = TheDatabase();
  std::lock_guard<std::mutex> lock(db.lock);
  auto it = db.devices.find(pdo);
  if (it == db.devices.end()) return false;
  if (info) *info = it->second;
  return true;
}

std::u16string DeviceInstancePath(const PhysicalDeviceInfo& info) { return info.deviceId + u"\\" + info.instanceId; }

std::vector<DeviceInterface> GetDeviceInterfaces(const GUID& classGuid, bool enabledOnly) {
  Database& db = TheDatabase();
  std::lock_guard<std::mutex> lock(db.lock);
  std::vector<DeviceInterface> out;
  for (const auto& i : db.interfaces)
    if (IsEqualGUID(i.classGuid, classGuid) && (i.enabled || !enabledOnly)) out.push_back(i);
  return out;
}

bool FindDeviceInterface(const std::u16string& path, DeviceInterface* found) {
  Database& db = TheDatabase();
  std::lock_guard<std::mutex> lock(db.lock);
  std::u16string body = LinkBody(path);
  for (const auto& i : db.interfaces) {
    if (EqualNoCase(LinkBody(i.symbolicLink), body)) {
      if (found) *found = i;
      return true;
    }
  }
  return false;
}

}  // namespace platform

extern "C" {

NTSTATUS NTAPI IoGetDeviceProperty(PDEVICE_OBJECT DeviceObject, DEVICE_REGISTRY_PROPERTY DeviceProperty,
                                   ULONG BufferLength, PVOID PropertyBuffer, PULONG ResultLength) {
  const void* caller = USBAUDIO_CALLER();
  platform::detail::RequireIrqlAtMost(PASSIVE_LEVEL, caller, "IRQL_PNP_ABOVE_PASSIVE", "IoGetDeviceProperty");
  PhysicalDeviceInfo info;
  if (!platform::GetPhysicalDeviceInfo(DeviceObject, &info))
    BugCheckAt(caller, "PNP_DETECTED_FATAL_ERROR", "IoGetDeviceProperty on %p, which is not a physical device object",
               static_cast<void*>(DeviceObject));
  *ResultLength = 0;
  switch (DeviceProperty) {
    case DevicePropertyHardwareID:
      return CopyProperty(MultiString(info.hardwareIds), BufferLength, PropertyBuffer, ResultLength);
    case DevicePropertyCompatibleIDs:
      return CopyProperty(MultiString(info.compatibleIds), BufferLength, PropertyBuffer, ResultLength);
    case DevicePropertyDeviceDescription:
      return CopyProperty(info.description + std::u16string(1, 0), BufferLength, PropertyBuffer, ResultLength);
    case DevicePropertyEnumeratorName:
      return CopyProperty(info.deviceId.substr(0, info.deviceId.find(u'\\')) + std::u16string(1, 0), BufferLength,
                          PropertyBuffer, ResultLength);
    default:
      return STATUS_INVALID_PARAMETER_2;
  }
}

NTSTATUS NTAPI IoRegisterDeviceInterface(PDEVICE_OBJECT PhysicalDeviceObject, CONST GUID* InterfaceClassGuid,
                                         PUNICODE_STRING ReferenceString, PUNICODE_STRING SymbolicLinkName) {
  const void* caller = USBAUDIO_CALLER();
  platform::detail::RequireIrqlAtMost(PASSIVE_LEVEL, caller, "IRQL_PNP_ABOVE_PASSIVE", "IoRegisterDeviceInterface");
  PhysicalDeviceInfo info;
  if (!platform::GetPhysicalDeviceInfo(PhysicalDeviceObject, &info)) return STATUS_INVALID_DEVICE_REQUEST;
  std::u16string reference = platform::ToU16(ReferenceString);
  std::u16string link = u"\\??\\";
  for (char16_t c : platform::DeviceInstancePath(info)) link.push_back(c == u'\\' ? u'#' : c);
  link += u"#" + GuidText(*InterfaceClassGuid);
  if (!reference.empty()) link += u"\\" + reference;

  Database& db = TheDatabase();
  {
    std::lock_guard<std::mutex> lock(db.lock);
    bool known = false;
    for (const auto& i : db.interfaces) known = known || platform::EqualNoCase(i.symbolicLink, link);
    if (!known) {
      DeviceInterface i;
      i.symbolicLink = link;
      i.classGuid = *InterfaceClassGuid;
      i.referenceString = reference;
      i.pdo = PhysicalDeviceObject;
      i.deviceInstancePath = platform::DeviceInstancePath(info);
      i.hardwareIds = info.hardwareIds;
      db.interfaces.push_back(i);
    }
  }
  size_t bytes = link.size() * sizeof(WCHAR);
  PWSTR buffer =
      static_cast<PWSTR>(platform::detail::AllocatePool(PagedPool, bytes + sizeof(WCHAR), kLinkTag, true, caller));
  if (!buffer) return STATUS_INSUFFICIENT_RESOURCES;
  memcpy(buffer, link.data(), bytes);
  SymbolicLinkName->Buffer = buffer;
  SymbolicLinkName->Length = static_cast<USHORT>(bytes);
  SymbolicLinkName->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI IoSetDeviceInterfaceState(PUNICODE_STRING SymbolicLinkName, BOOLEAN Enable) {
  platform::detail::RequireIrqlAtMost(PASSIVE_LEVEL, USBAUDIO_CALLER(), "IRQL_PNP_ABOVE_PASSIVE",
                                      "IoSetDeviceInterfaceState");
  std::u16string link = platform::ToU16(SymbolicLinkName);
  Database& db = TheDatabase();
  std::lock_guard<std::mutex> order(db.changeOrder);
  std::vector<StateChange> changed;
  NTSTATUS status = STATUS_OBJECT_NAME_NOT_FOUND;
  {
    std::lock_guard<std::mutex> lock(db.lock);
    for (auto& i : db.interfaces) {
      if (platform::EqualNoCase(i.symbolicLink, link)) {
        // Only a change of state is announced (as Windows broadcasts it).
        if (i.enabled != (Enable != FALSE)) {
          i.enabled = Enable != FALSE;
          changed.push_back(i);
        }
        status = STATUS_SUCCESS;
        break;
      }
    }
  }
  Announce(db, changed);
  return status;
}

}  // extern "C"
