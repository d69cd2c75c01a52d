// Internals shared by the device I/O stand-ins (CreateFileW, KsCreatePin,
// DeviceIoControl): what kernel32 knows about a device handle beyond the
// I/O manager's file object.
#pragma once

#include <windows.h>

#include <memory>
#include <string>

#include "platform/win32/device_io_host.h"

namespace platform::win32::detail {

struct DeviceHandleInfo {
  std::u16string path;      // the device interface path the handle (or its filter) was opened on
  bool overlapped = false;  // FILE_FLAG_OVERLAPPED (pins from KsCreatePin always are)
  bool pin = false;
};

// Records a handle just opened in the calling process.
void RecordDeviceHandle(HANDLE handle, const DeviceHandleInfo& info);
// What was recorded for a handle of the calling process that is still open;
// false for other handles.
bool DeviceHandleInfoOf(HANDLE handle, DeviceHandleInfo* info);

// The reply filter installed for a path, or null.
std::shared_ptr<const KsReplyFilter> FindKsReplyFilter(const std::u16string& path);

}  // namespace platform::win32::detail
