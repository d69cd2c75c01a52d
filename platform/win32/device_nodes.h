// Device node handles (DEVINST) that SetupAPI hands out and cfgmgr32
// resolves: one small number per device instance path, stable while the
// process runs, as the PnP manager's device node handles are.
#pragma once

#include <wdm.h>

#include <string>

namespace platform::win32::detail {

// The node handle of a physical device (registered on first use).
DWORD DeviceNodeOf(PDEVICE_OBJECT pdo, const std::u16string& instancePath);
// The instance path of a node whose device is still present; false for an
// unknown node or a device that has gone.
bool DeviceNodeInstancePath(DWORD node, std::u16string* instancePath);

}  // namespace platform::win32::detail
