// RegisterDeviceNotificationW for windows: while a registration lives, every
// device interface of its class that is enabled or goes away (disabled, or
// dropped with its device) queues WM_DEVICECHANGE with DBT_DEVICEARRIVAL or
// DBT_DEVICEREMOVECOMPLETE and a DEV_BROADCAST_DEVICEINTERFACE_W record to
// the window. A registration belongs to the process that made it and to
// its window: the end of either ends it.
#include <windows.h>
#include <dbt.h>

#include <cstddef>
#include <cstring>
#include <map>
#include <mutex>

#include "platform/kernel/client_process.h"
#include "platform/kernel/device_interfaces.h"
#include "platform/win32/win32_internal.h"
#include "platform/win32/window_host.h"
#include "platform/win32/window_internal.h"

namespace platform::win32 {
namespace {

using platform::DeviceInterface;

struct Registration {
  ClientProcess* process = nullptr;
  HWND window = nullptr;
  GUID classGuid{};
  bool allClasses = false;
  // False once the window is gone: nothing more is delivered, and the
  // handle waits for UnregisterDeviceNotification or the process's end.
  bool active = true;
};

struct Registrations {
  std::mutex lock;
  std::map<HDEVNOTIFY, Registration> byHandle;
  ULONG_PTR nextHandle = 0x7A0010;
};

Registrations& TheRegistrations() {
  static Registrations* r = new Registrations;
  return *r;
}

// "\??\..." as user mode names it: "\\?\...".
std::u16string UserModeName(const std::u16string& link) {
  if (link.size() >= 4 && link.compare(0, 4, u"\\??\\") == 0) return u"\\\\?\\" + link.substr(4);
  return link;
}

// The record Windows broadcasts: header, class and the NUL-terminated name;
// dbcc_size counts up to the terminator.
WindowMessage DeviceChangeMessage(const DeviceInterface& changed, bool enabled) {
  const std::u16string name = UserModeName(changed.symbolicLink);
  const size_t nameOffset = offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name);
  const size_t size = nameOffset + (name.size() + 1) * sizeof(WCHAR);
  WindowMessage message;
  message.message = WM_DEVICECHANGE;
  message.wParam = enabled ? DBT_DEVICEARRIVAL : DBT_DEVICEREMOVECOMPLETE;
  message.record.assign(size < sizeof(DEV_BROADCAST_DEVICEINTERFACE_W) ? sizeof(DEV_BROADCAST_DEVICEINTERFACE_W) : size,
                        0);
  DEV_BROADCAST_DEVICEINTERFACE_W header{};
  header.dbcc_size = static_cast<DWORD>(size);
  header.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  header.dbcc_classguid = changed.classGuid;
  std::memcpy(message.record.data(), &header, nameOffset);
  std::memcpy(message.record.data() + nameOffset, name.data(), name.size() * sizeof(WCHAR));
  return message;
}

// The device database's listener: runs on the thread that changed the state.
void OnInterfaceChange(const DeviceInterface& changed, bool enabled) {
  Registrations& r = TheRegistrations();
  std::lock_guard<std::mutex> lock(r.lock);
  for (const auto& entry : r.byHandle) {
    const Registration& reg = entry.second;
    if (!reg.active || !(reg.allClasses || IsEqualGUID(reg.classGuid, changed.classGuid))) continue;
    // A full queue loses the notification, as a hung window loses it.
    detail::QueueWindowMessage(reg.window, DeviceChangeMessage(changed, enabled));
  }
}

void ListenToDeviceInterfaces() {
  static std::once_flag listening;
  std::call_once(listening, [] { platform::AddDeviceInterfaceListener(OnInterfaceChange); });
}

HDEVNOTIFY Fail(DWORD error) {
  SetLastError(error);
  return nullptr;
}

}  // namespace

size_t LiveDeviceNotifications() {
  Registrations& r = TheRegistrations();
  std::lock_guard<std::mutex> lock(r.lock);
  size_t live = 0;
  for (const auto& entry : r.byHandle) live += entry.second.active ? 1 : 0;
  return live;
}

namespace detail {

void EndWindowNotifications(HWND window) {
  Registrations& r = TheRegistrations();
  std::lock_guard<std::mutex> lock(r.lock);
  for (auto& entry : r.byHandle)
    if (entry.second.window == window) entry.second.active = false;
}

void EndProcessNotifications(ClientProcess* process) {
  Registrations& r = TheRegistrations();
  std::lock_guard<std::mutex> lock(r.lock);
  for (auto it = r.byHandle.begin(); it != r.byHandle.end();)
    it = it->second.process == process ? r.byHandle.erase(it) : std::next(it);
}

}  // namespace detail
}  // namespace platform::win32

extern "C" {

// Window recipients only; a service recipient is not modelled and fails as
// an unknown flag. The filter is checked as Windows checks it: a missing
// one, a size below its type's record, or a type other than a device
// interface or handle is ERROR_INVALID_DATA; handle filters (a file's
// removal) are not modelled: ERROR_NOT_SUPPORTED.
HDEVNOTIFY WINAPI RegisterDeviceNotificationW(HANDLE hRecipient, LPVOID NotificationFilter, DWORD Flags) {
  using platform::win32::Fail;
  platform::ClientProcess* process = platform::win32::detail::RequireClientProcess("RegisterDeviceNotificationW");
  if ((Flags & ~DWORD{DEVICE_NOTIFY_ALL_INTERFACE_CLASSES}) != DEVICE_NOTIFY_WINDOW_HANDLE)
    return Fail(ERROR_INVALID_PARAMETER);
  if (!NotificationFilter) return Fail(ERROR_INVALID_DATA);
  const auto* header = static_cast<const DEV_BROADCAST_HDR*>(NotificationFilter);
  if (header->dbch_size < sizeof(DEV_BROADCAST_HDR)) return Fail(ERROR_INVALID_DATA);
  if (header->dbch_devicetype == DBT_DEVTYP_HANDLE) return Fail(ERROR_NOT_SUPPORTED);
  if (header->dbch_devicetype != DBT_DEVTYP_DEVICEINTERFACE) return Fail(ERROR_INVALID_DATA);
  if (header->dbch_size < sizeof(DEV_BROADCAST_DEVICEINTERFACE_W)) return Fail(ERROR_INVALID_DATA);
  const auto* filter = static_cast<const DEV_BROADCAST_DEVICEINTERFACE_W*>(NotificationFilter);

  platform::win32::detail::HookWindowsToProcessEnd();
  platform::win32::ListenToDeviceInterfaces();
  platform::win32::Registration reg;
  reg.process = process;
  reg.window = static_cast<HWND>(hRecipient);
  reg.classGuid = filter->dbcc_classguid;
  reg.allClasses = (Flags & DEVICE_NOTIFY_ALL_INTERFACE_CLASSES) != 0;
  platform::win32::Registrations& r = platform::win32::TheRegistrations();
  // The window is checked under the registrations' lock, so a window
  // destroyed meanwhile ends this registration too.
  std::lock_guard<std::mutex> lock(r.lock);
  if (!platform::win32::detail::IsLiveWindow(reg.window)) return Fail(ERROR_INVALID_WINDOW_HANDLE);
  auto handle = reinterpret_cast<HDEVNOTIFY>(r.nextHandle);
  r.nextHandle += 8;
  r.byHandle[handle] = reg;
  return handle;
}

// A handle of another process, or one already unregistered, is unknown here.
BOOL WINAPI UnregisterDeviceNotification(HDEVNOTIFY Handle) {
  platform::ClientProcess* process = platform::win32::detail::RequireClientProcess("UnregisterDeviceNotification");
  platform::win32::Registrations& r = platform::win32::TheRegistrations();
  std::lock_guard<std::mutex> lock(r.lock);
  auto it = r.byHandle.find(Handle);
  if (it == r.byHandle.end() || it->second.process != process) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  r.byHandle.erase(it);
  return TRUE;
}

}  // extern "C"
