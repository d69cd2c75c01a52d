// CreateFileW on device interface paths and ksuser.dll's KsCreatePin: an
// IRP_MJ_CREATE through the I/O manager in the calling client process, plus
// what kernel32 remembers per handle (overlapped or not, the device path).
#include <windows.h>

#include <map>
#include <mutex>

#include "platform/kernel/client_process.h"
#include "platform/kernel/device_interfaces.h"
#include "platform/kernel/internal.h"
#include "platform/kernel/io_manager.h"
#include "platform/win32/device_io_internal.h"
#include "platform/win32/win32_internal.h"

namespace {

using platform::win32::KsReplyFilter;
using platform::win32::detail::DeviceHandleInfo;

struct HandleRecord {
  platform::ClientProcess* process;
  DeviceHandleInfo info;
};

struct Tables {
  std::mutex lock;
  std::map<HANDLE, HandleRecord> handles;
  size_t insertsSincePrune = 0;
  std::map<int, std::pair<std::u16string, std::shared_ptr<const KsReplyFilter>>> filters;
  int nextFilterId = 1;
};

Tables& TheTables() {
  static Tables* t = new Tables;
  return *t;
}

// "\\?\..." and "\\.\..." name the device namespace; the rest would be file
// system paths, which the stand-ins do not have.
bool IsDeviceNamespacePath(const std::u16string& path) {
  return path.size() > 4 && path[0] == u'\\' && path[1] == u'\\' && (path[2] == u'?' || path[2] == u'.') &&
         path[3] == u'\\';
}

}  // namespace

namespace platform::win32::detail {

void RecordDeviceHandle(HANDLE handle, const DeviceHandleInfo& info) {
  Tables& t = TheTables();
  std::lock_guard<std::mutex> lock(t.lock);
  // Handle values are never reused, so records of closed handles are only
  // dropped now and then to bound the table.
  if (++t.insertsSincePrune >= 64) {
    t.insertsSincePrune = 0;
    for (auto it = t.handles.begin(); it != t.handles.end();)
      it = platform::detail::FileObjectOfAnyProcessHandle(it->first) ? std::next(it) : t.handles.erase(it);
  }
  t.handles[handle] = HandleRecord{platform::CurrentClientProcess(), info};
}

bool DeviceHandleInfoOf(HANDLE handle, DeviceHandleInfo* info) {
  if (!platform::IoFileObjectOfHandle(handle)) return false;  // closed, or not the caller's
  Tables& t = TheTables();
  std::lock_guard<std::mutex> lock(t.lock);
  auto it = t.handles.find(handle);
  if (it == t.handles.end() || it->second.process != platform::CurrentClientProcess()) return false;
  *info = it->second.info;
  return true;
}

std::shared_ptr<const KsReplyFilter> FindKsReplyFilter(const std::u16string& path) {
  if (path.empty()) return nullptr;
  DeviceInterface wanted;
  const bool known = FindDeviceInterface(path, &wanted);
  Tables& t = TheTables();
  std::lock_guard<std::mutex> lock(t.lock);
  for (auto it = t.filters.rbegin(); it != t.filters.rend(); ++it) {
    DeviceInterface candidate;
    if (EqualNoCase(it->second.first, path) ||
        (known && FindDeviceInterface(it->second.first, &candidate) &&
         EqualNoCase(candidate.symbolicLink, wanted.symbolicLink)))
      return it->second.second;
  }
  return nullptr;
}

DWORD WINAPI KsUserCreatePin(HANDLE FilterHandle, PKSPIN_CONNECT Connect, ACCESS_MASK DesiredAccess,
                             PHANDLE ConnectionHandle) {
  (void)DesiredAccess;  // the I/O manager stand-in grants every open full access
  RequireClientProcess("KsCreatePin");
  if (!Connect || !ConnectionHandle) return ERROR_INVALID_PARAMETER;
  // The create parameters are the connection and its data format, whose
  // FormatSize says how long it is; ksuser passes them as the object name,
  // which cannot exceed a UNICODE_STRING.
  KSDATAFORMAT format;
  memcpy(&format, Connect + 1, sizeof format);
  const ULONGLONG length = sizeof(KSPIN_CONNECT) + ULONGLONG{format.FormatSize};
  if (length + sizeof(KSSTRING_Pin) > 0xFFF0) return ERROR_INVALID_NAME;
  DeviceHandleInfo filter;
  const bool knownFilter = DeviceHandleInfoOf(FilterHandle, &filter);
  HANDLE pin = NULL;
  const NTSTATUS status = platform::KsCreatePin(FilterHandle, Connect, static_cast<ULONG>(length), &pin);
  if (!NT_SUCCESS(status)) return ErrorFromStatus(status);
  DeviceHandleInfo info;
  info.path = knownFilter ? filter.path : std::u16string();
  info.overlapped = true;  // ksuser opens pins for asynchronous I/O
  info.pin = true;
  RecordDeviceHandle(pin, info);
  *ConnectionHandle = pin;
  return ERROR_SUCCESS;
}

}  // namespace platform::win32::detail

namespace platform::win32 {

int InstallKsReplyFilter(const std::u16string& devicePath, KsReplyFilter filter) {
  Tables& t = TheTables();
  std::lock_guard<std::mutex> lock(t.lock);
  for (auto it = t.filters.begin(); it != t.filters.end();)
    it = EqualNoCase(it->second.first, devicePath) ? t.filters.erase(it) : std::next(it);
  const int id = t.nextFilterId++;
  t.filters[id] = {devicePath, std::make_shared<const KsReplyFilter>(std::move(filter))};
  return id;
}

void RemoveKsReplyFilter(int id) {
  Tables& t = TheTables();
  std::lock_guard<std::mutex> lock(t.lock);
  t.filters.erase(id);
}

}  // namespace platform::win32

USBAUDIO_BEGIN_C

HANDLE WINAPI CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) {
  // Access, sharing, security and templates are not modelled: every open
  // of a device gets full access, as the KS filter grants it anyway.
  (void)dwDesiredAccess;
  (void)dwShareMode;
  (void)lpSecurityAttributes;
  (void)hTemplateFile;
  platform::win32::detail::RequireClientProcess("CreateFileW");
  if (!lpFileName || dwCreationDisposition < CREATE_NEW || dwCreationDisposition > TRUNCATE_EXISTING) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  std::u16string path = platform::ToU16(lpFileName);
  if (!IsDeviceNamespacePath(path)) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  path[2] = u'?';  // "\\.\" and "\\?\" both reach the object manager's "\??\"
  HANDLE handle = NULL;
  const NTSTATUS status = platform::IoOpenDeviceInterface(path, &handle);
  if (!NT_SUCCESS(status)) {
    SetLastError(platform::win32::detail::ErrorFromStatus(status));
    return INVALID_HANDLE_VALUE;
  }
  platform::win32::detail::DeviceHandleInfo info;
  info.path = path;
  info.overlapped = (dwFlagsAndAttributes & FILE_FLAG_OVERLAPPED) != 0;
  platform::win32::detail::RecordDeviceHandle(handle, info);
  // Opening what exists with a disposition that could have created it says so.
  const bool mayCreate = dwCreationDisposition == OPEN_ALWAYS || dwCreationDisposition == CREATE_ALWAYS;
  SetLastError(mayCreate ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
  return handle;
}

USBAUDIO_END_C
