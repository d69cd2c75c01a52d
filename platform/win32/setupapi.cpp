// SetupAPI over the plug-and-play device database: device information sets
// of the present interfaces of one interface class, enumerated in the order
// the drivers registered them (the order SetupAPI lists them in), with the
// interface details, device properties and instance ids clients read.
#include <setupapi.h>

#include <cstddef>
#include <mutex>
#include <set>
#include <vector>

#include "platform/kernel/device_interfaces.h"
#include "platform/win32/device_nodes.h"
#include "platform/win32/win32_internal.h"

namespace {

using platform::DeviceInterface;

// Media devices: the setup class the audio driver's INF installs into.
constexpr GUID kMediaClass = {0x4d36e96c, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};

struct DeviceElement {
  PDEVICE_OBJECT pdo;
  std::u16string instancePath;
  DWORD node;
};

struct InterfaceElement {
  DeviceInterface iface;
  size_t device;  // index into the set's devices
};

// The elements are taken when the set is made, as SetupAPI takes them.
struct DeviceInfoSet {
  std::vector<DeviceElement> devices;
  std::vector<InterfaceElement> interfaces;
};

// One lock for all sets: a call holds it while it reads its set.
struct Sets {
  std::mutex lock;
  std::set<DeviceInfoSet*> live;
};

Sets& TheSets() {
  static Sets* s = new Sets;
  return *s;
}

// Call with the lock held; null (and the error set) for an unknown set.
DeviceInfoSet* SetOf(Sets& s, HDEVINFO handle) {
  auto it = s.live.find(static_cast<DeviceInfoSet*>(handle));
  if (it == s.live.end()) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  return *it;
}

// The set's device a SP_DEVINFO_DATA names; null (and the error set) when
// the record is malformed or of another set.
const DeviceElement* DeviceOf(const DeviceInfoSet* set, PSP_DEVINFO_DATA data) {
  if (!data) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (data->cbSize != sizeof(SP_DEVINFO_DATA)) {
    SetLastError(ERROR_INVALID_USER_BUFFER);
    return nullptr;
  }
  if (data->Reserved == 0 || data->Reserved > set->devices.size()) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  return &set->devices[data->Reserved - 1];
}

void FillDeviceInfo(const DeviceInfoSet* set, size_t device, PSP_DEVINFO_DATA data) {
  data->ClassGuid = kMediaClass;
  data->DevInst = set->devices[device].node;
  data->Reserved = device + 1;
}

std::u16string UserModePath(const std::u16string& link) {
  // "\??\body" in the kernel is "\\?\body" to a Win32 client.
  if (link.size() >= 4 && link.compare(0, 4, u"\\??\\") == 0) return u"\\\\?\\" + link.substr(4);
  return link;
}

bool ReturnTrue() {
  SetLastError(ERROR_SUCCESS);
  return true;
}

}  // namespace

USBAUDIO_BEGIN_C

HDEVINFO WINAPI SetupDiGetClassDevsW(const GUID* ClassGuid, PCWSTR Enumerator, HWND hwndParent, DWORD Flags) {
  (void)hwndParent;
  platform::win32::detail::RequireClientProcess("SetupDiGetClassDevsW");
  // Only interface sets of one class are modelled: setup-class sets, all
  // classes, the default interface and hardware profiles are not.
  if (!(Flags & DIGCF_DEVICEINTERFACE) || (Flags & (DIGCF_DEFAULT | DIGCF_ALLCLASSES | DIGCF_PROFILE)) ||
      (Flags & ~DWORD{DIGCF_DEVICEINTERFACE | DIGCF_PRESENT})) {
    SetLastError(ERROR_INVALID_FLAGS);
    return INVALID_HANDLE_VALUE;
  }
  if (!ClassGuid) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  const std::u16string device = Enumerator ? platform::ToU16(Enumerator) : std::u16string();
  DeviceInfoSet* set = new DeviceInfoSet;
  // Without DIGCF_PRESENT the registered but inactive interfaces count too.
  for (const DeviceInterface& i : platform::GetDeviceInterfaces(*ClassGuid, (Flags & DIGCF_PRESENT) != 0)) {
    if (Enumerator && !platform::EqualNoCase(i.deviceInstancePath, device)) continue;
    size_t index = 0;
    while (index < set->devices.size() && !platform::EqualNoCase(set->devices[index].instancePath, i.deviceInstancePath))
      ++index;
    if (index == set->devices.size())
      set->devices.push_back(
          DeviceElement{i.pdo, i.deviceInstancePath, platform::win32::detail::DeviceNodeOf(i.pdo, i.deviceInstancePath)});
    set->interfaces.push_back(InterfaceElement{i, index});
  }
  Sets& s = TheSets();
  std::lock_guard<std::mutex> lock(s.lock);
  s.live.insert(set);
  SetLastError(ERROR_SUCCESS);
  return set;
}

BOOL WINAPI SetupDiEnumDeviceInterfaces(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                        const GUID* InterfaceClassGuid, DWORD MemberIndex,
                                        PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData) {
  Sets& s = TheSets();
  std::lock_guard<std::mutex> lock(s.lock);
  ::DeviceInfoSet* set = SetOf(s, DeviceInfoSet);
  if (!set) return FALSE;
  if (!InterfaceClassGuid || !DeviceInterfaceData) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (DeviceInterfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
    SetLastError(ERROR_INVALID_USER_BUFFER);
    return FALSE;
  }
  const DeviceElement* device = nullptr;
  if (DeviceInfoData && !(device = DeviceOf(set, DeviceInfoData))) return FALSE;
  DWORD seen = 0;
  for (size_t i = 0; i < set->interfaces.size(); ++i) {
    const InterfaceElement& e = set->interfaces[i];
    if (!IsEqualGUID(e.iface.classGuid, *InterfaceClassGuid)) continue;
    if (device && &set->devices[e.device] != device) continue;
    if (seen++ != MemberIndex) continue;
    DeviceInterfaceData->InterfaceClassGuid = e.iface.classGuid;
    DeviceInterfaceData->Flags = e.iface.enabled ? SPINT_ACTIVE : 0;
    DeviceInterfaceData->Reserved = i + 1;
    return ReturnTrue();
  }
  SetLastError(ERROR_NO_MORE_ITEMS);
  return FALSE;
}

BOOL WINAPI SetupDiGetDeviceInterfaceDetailW(HDEVINFO DeviceInfoSet, PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData,
                                             PSP_DEVICE_INTERFACE_DETAIL_DATA_W DeviceInterfaceDetailData,
                                             DWORD DeviceInterfaceDetailDataSize, PDWORD RequiredSize,
                                             PSP_DEVINFO_DATA DeviceInfoData) {
  Sets& s = TheSets();
  std::lock_guard<std::mutex> lock(s.lock);
  ::DeviceInfoSet* set = SetOf(s, DeviceInfoSet);
  if (!set) return FALSE;
  if (!DeviceInterfaceData) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (DeviceInterfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA) ||
      (DeviceInfoData && DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA))) {
    SetLastError(ERROR_INVALID_USER_BUFFER);
    return FALSE;
  }
  if (DeviceInterfaceData->Reserved == 0 || DeviceInterfaceData->Reserved > set->interfaces.size()) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  // The detail header's size is the structure's (8 on x64, whatever the
  // buffer's size); a buffer needs room for at least the header and one
  // character, and none may be claimed without a buffer.
  constexpr DWORD kHeader = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath);
  if (DeviceInterfaceDetailData
          ? (DeviceInterfaceDetailData->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W) ||
             DeviceInterfaceDetailDataSize < kHeader + sizeof(WCHAR))
          : DeviceInterfaceDetailDataSize != 0) {
    SetLastError(ERROR_INVALID_USER_BUFFER);
    return FALSE;
  }
  const InterfaceElement& e = set->interfaces[DeviceInterfaceData->Reserved - 1];
  const std::u16string path = UserModePath(e.iface.symbolicLink);
  const DWORD needed = static_cast<DWORD>(kHeader + (path.size() + 1) * sizeof(WCHAR));
  if (RequiredSize) *RequiredSize = needed;
  if (DeviceInfoData) FillDeviceInfo(set, e.device, DeviceInfoData);
  if (!DeviceInterfaceDetailData || DeviceInterfaceDetailDataSize < needed) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  for (size_t i = 0; i < path.size(); ++i) DeviceInterfaceDetailData->DevicePath[i] = static_cast<WCHAR>(path[i]);
  DeviceInterfaceDetailData->DevicePath[path.size()] = 0;
  return ReturnTrue();
}

BOOL WINAPI SetupDiGetDeviceRegistryPropertyW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData, DWORD Property,
                                              PDWORD PropertyRegDataType, PBYTE PropertyBuffer,
                                              DWORD PropertyBufferSize, PDWORD RequiredSize) {
  Sets& s = TheSets();
  std::lock_guard<std::mutex> lock(s.lock);
  ::DeviceInfoSet* set = SetOf(s, DeviceInfoSet);
  if (!set) return FALSE;
  const DeviceElement* device = DeviceOf(set, DeviceInfoData);
  if (!device) return FALSE;
  if (!PropertyBuffer && PropertyBufferSize != 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  // Properties are read from the device as it is now.
  platform::PhysicalDeviceInfo info;
  if (!platform::GetPhysicalDeviceInfo(device->pdo, &info) ||
      !platform::EqualNoCase(platform::DeviceInstancePath(info), device->instancePath)) {
    SetLastError(ERROR_NO_SUCH_DEVINST);
    return FALSE;
  }
  std::u16string value;
  DWORD type = REG_SZ;
  switch (Property) {
    case SPDRP_HARDWAREID:
    case SPDRP_COMPATIBLEIDS: {
      const auto& list = Property == SPDRP_HARDWAREID ? info.hardwareIds : info.compatibleIds;
      for (const std::u16string& id : list) value += id + std::u16string(1, u'\0');
      if (!value.empty()) value.push_back(u'\0');
      type = REG_MULTI_SZ;
      break;
    }
    case SPDRP_DEVICEDESC:
      if (!info.description.empty()) value = info.description + std::u16string(1, u'\0');
      break;
    default:  // the rest of the device's registry properties are not modelled
      break;
  }
  if (value.empty()) {
    SetLastError(ERROR_INVALID_DATA);
    return FALSE;
  }
  const DWORD bytes = static_cast<DWORD>(value.size() * sizeof(WCHAR));
  if (PropertyRegDataType) *PropertyRegDataType = type;
  if (RequiredSize) *RequiredSize = bytes;
  if (bytes > PropertyBufferSize) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  memcpy(PropertyBuffer, value.data(), bytes);
  return ReturnTrue();
}

BOOL WINAPI SetupDiGetDeviceInstanceIdW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData, PWSTR DeviceInstanceId,
                                        DWORD DeviceInstanceIdSize, PDWORD RequiredSize) {
  Sets& s = TheSets();
  std::lock_guard<std::mutex> lock(s.lock);
  ::DeviceInfoSet* set = SetOf(s, DeviceInfoSet);
  if (!set) return FALSE;
  const DeviceElement* device = DeviceOf(set, DeviceInfoData);
  if (!device) return FALSE;
  if (!DeviceInstanceId && DeviceInstanceIdSize != 0) {
    SetLastError(ERROR_INVALID_USER_BUFFER);
    return FALSE;
  }
  const std::u16string& id = device->instancePath;
  const DWORD needed = static_cast<DWORD>(id.size() + 1);  // characters, with the terminator
  if (RequiredSize) *RequiredSize = needed;
  if (needed > DeviceInstanceIdSize) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  for (size_t i = 0; i < id.size(); ++i) DeviceInstanceId[i] = static_cast<WCHAR>(id[i]);
  DeviceInstanceId[id.size()] = 0;
  return ReturnTrue();
}

BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet) {
  ::DeviceInfoSet* set;
  {
    Sets& s = TheSets();
    std::lock_guard<std::mutex> lock(s.lock);
    set = SetOf(s, DeviceInfoSet);
    if (!set) return FALSE;
    s.live.erase(set);
  }
  delete set;
  return ReturnTrue();
}

USBAUDIO_END_C
