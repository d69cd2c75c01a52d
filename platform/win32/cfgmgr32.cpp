// cfgmgr32's device instance ids for the node handles SetupAPI hands out.
#include <cfgmgr32.h>

#include <map>
#include <mutex>
#include <vector>

#include "platform/kernel/device_interfaces.h"
#include "platform/win32/device_nodes.h"

namespace {

struct Node {
  PDEVICE_OBJECT pdo;
  std::u16string instancePath;
};

struct Nodes {
  std::mutex lock;
  std::vector<Node> nodes;  // handle = index + 1
};

Nodes& TheNodes() {
  static Nodes* n = new Nodes;
  return *n;
}

}  // namespace

namespace platform::win32::detail {

DWORD DeviceNodeOf(PDEVICE_OBJECT pdo, const std::u16string& instancePath) {
  Nodes& n = TheNodes();
  std::lock_guard<std::mutex> lock(n.lock);
  for (size_t i = 0; i < n.nodes.size(); ++i) {
    if (EqualNoCase(n.nodes[i].instancePath, instancePath)) {
      n.nodes[i].pdo = pdo;  // the same device plugged in again
      return static_cast<DWORD>(i + 1);
    }
  }
  n.nodes.push_back(Node{pdo, instancePath});
  return static_cast<DWORD>(n.nodes.size());
}

bool DeviceNodeInstancePath(DWORD node, std::u16string* instancePath) {
  Node found;
  {
    Nodes& n = TheNodes();
    std::lock_guard<std::mutex> lock(n.lock);
    if (node == 0 || node > n.nodes.size()) return false;
    found = n.nodes[node - 1];
  }
  // A device that has gone (or another one at the same object) is no node.
  PhysicalDeviceInfo info;
  if (!GetPhysicalDeviceInfo(found.pdo, &info) || !EqualNoCase(DeviceInstancePath(info), found.instancePath))
    return false;
  *instancePath = found.instancePath;
  return true;
}

}  // namespace platform::win32::detail

USBAUDIO_BEGIN_C

CONFIGRET WINAPI CM_Get_Device_IDW(DEVINST dnDevInst, PWSTR Buffer, ULONG BufferLen, ULONG ulFlags) {
  if (!Buffer) return CR_INVALID_POINTER;
  if (ulFlags != 0) return CR_INVALID_FLAG;
  std::u16string id;
  if (dnDevInst == 0) return CR_INVALID_DEVNODE;
  if (!platform::win32::detail::DeviceNodeInstancePath(dnDevInst, &id)) return CR_NO_SUCH_DEVNODE;
  // As much of the id as fits; the terminator only when it fits too.
  const size_t copied = id.size() < BufferLen ? id.size() : BufferLen;
  for (size_t i = 0; i < copied; ++i) Buffer[i] = static_cast<WCHAR>(id[i]);
  if (BufferLen > id.size()) Buffer[id.size()] = 0;
  return BufferLen < id.size() ? CR_BUFFER_SMALL : CR_SUCCESS;
}

CONFIGRET WINAPI CM_Get_Device_ID_Size(PULONG pulLen, DEVINST dnDevInst, ULONG ulFlags) {
  if (!pulLen) return CR_INVALID_POINTER;
  if (ulFlags != 0) return CR_INVALID_FLAG;
  std::u16string id;
  if (dnDevInst == 0) return CR_INVALID_DEVNODE;
  if (!platform::win32::detail::DeviceNodeInstancePath(dnDevInst, &id)) return CR_NO_SUCH_DEVNODE;
  *pulLen = static_cast<ULONG>(id.size());  // without the terminator
  return CR_SUCCESS;
}

USBAUDIO_END_C
