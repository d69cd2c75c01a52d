// Registry key handles of the client processes, the predefined roots and the
// 32-bit view. A handle is a value of the calling process's table naming a
// key of the store by id, with the access it was opened for; a process's
// handles close when it ends, completing their pending notifications.
#include "platform/kernel/client_process.h"
#include "platform/kernel/internal.h"
// The kernel headers first: <windows.h> leaves their definitions alone.
#include "platform/win32/registry_host.h"
#include "platform/win32/registry_internal.h"
#include "platform/win32/win32_internal.h"

#include <map>
#include <mutex>
#include <vector>

namespace platform::win32::registry {

const char16_t kCurrentUserPath[] = u"\\Registry\\User\\S-1-5-21-2127521184-1604012920-1887927527-1001";

namespace {

constexpr char16_t kMachinePath[] = u"\\Registry\\Machine";
constexpr char16_t kUsersPath[] = u"\\Registry\\User";
constexpr char16_t kClassesPath[] = u"\\Registry\\Machine\\SOFTWARE\\Classes";

struct Handle {
  uint64_t keyId = 0;
  ACCESS_MASK access = 0;
  std::vector<uint64_t> watches;
};

struct Table {
  std::mutex lock;
  // Per process; a predefined root's entry only holds its watches.
  std::map<ClientProcess*, std::map<HKEY, Handle>> processes;
};

Table& TheTable() {
  static Table* table = new Table;
  return *table;
}

const char16_t* PredefinedPath(HKEY key) {
  if (key == HKEY_LOCAL_MACHINE) return kMachinePath;
  if (key == HKEY_CURRENT_USER) return kCurrentUserPath;
  if (key == HKEY_CLASSES_ROOT) return kClassesPath;
  if (key == HKEY_USERS) return kUsersPath;
  return nullptr;
}

void CompleteWatches(const std::vector<uint64_t>& watches) {
  for (uint64_t watch : watches) RegistryCompleteWatch(watch);
}

// At the end of a process: its handles close, as Windows closes them.
void CloseProcessKeys(ClientProcess* process) {
  std::map<HKEY, Handle> handles;
  {
    Table& t = TheTable();
    std::lock_guard<std::mutex> lock(t.lock);
    auto it = t.processes.find(process);
    if (it == t.processes.end()) return;
    handles = std::move(it->second);
    t.processes.erase(it);
  }
  for (auto& [key, handle] : handles) CompleteWatches(handle.watches);
}

void InstallEndHook() {
  static std::once_flag once;
  std::call_once(once, [] { AddProcessEndHook(&CloseProcessKeys); });
}

bool EqualsIgnoringCase(const std::u16string& a, const char16_t* b) {
  size_t i = 0;
  for (; i < a.size() && b[i]; ++i) {
    char16_t x = a[i], y = b[i];
    if (x >= u'a' && x <= u'z') x = static_cast<char16_t>(x - u'a' + u'A');
    if (y >= u'a' && y <= u'z') y = static_cast<char16_t>(y - u'a' + u'A');
    if (x != y) return false;
  }
  return i == a.size() && !b[i];
}

std::vector<std::u16string> Split(const std::u16string& path) {
  std::vector<std::u16string> parts;
  size_t start = 0;
  for (size_t at; (at = path.find(u'\\', start)) != std::u16string::npos; start = at + 1)
    parts.push_back(path.substr(start, at - start));
  parts.push_back(path.substr(start));
  return parts;
}

// "\Registry\Machine\SOFTWARE\X..." in the 32-bit view.
std::u16string Redirected(const std::u16string& path) {
  std::vector<std::u16string> parts = Split(path);  // parts[0] is empty: the path starts with '\'
  if (parts.size() < 5 || !EqualsIgnoringCase(parts[1], u"Registry") || !EqualsIgnoringCase(parts[2], u"Machine") ||
      !EqualsIgnoringCase(parts[3], u"SOFTWARE") || EqualsIgnoringCase(parts[4], u"WOW6432Node"))
    return path;
  size_t insertAt = 4;
  if (EqualsIgnoringCase(parts[4], u"Classes")) {
    // Classes are shared but for the class ids, which 32-bit COM keeps apart.
    if (parts.size() < 6 || !EqualsIgnoringCase(parts[5], u"CLSID")) return path;
    insertAt = 5;
  }
  parts.insert(parts.begin() + static_cast<std::ptrdiff_t>(insertAt), u"WOW6432Node");
  std::u16string out;
  for (size_t i = 1; i < parts.size(); ++i) out += u"\\" + parts[i];
  return out;
}

}  // namespace

std::u16string FromWide(LPCWSTR s) {
  std::u16string out;
  if (s)
    for (size_t i = 0; s[i]; ++i) out.push_back(static_cast<char16_t>(s[i]));
  return out;
}

LSTATUS LookUp(HKEY key, OpenKey* out) {
  if (const char16_t* root = PredefinedPath(key)) {
    out->keyId = RegistryCreateKey(root, nullptr);
    out->path = RegistryKeyPath(out->keyId);
    out->access = KEY_ALL_ACCESS;
    return ERROR_SUCCESS;
  }
  {
    Table& t = TheTable();
    std::lock_guard<std::mutex> lock(t.lock);
    auto p = t.processes.find(CurrentClientProcess());
    if (p == t.processes.end()) return ERROR_INVALID_HANDLE;
    auto h = p->second.find(key);
    if (h == p->second.end() || !h->second.keyId) return ERROR_INVALID_HANDLE;
    out->keyId = h->second.keyId;
    out->access = h->second.access;
  }
  out->path = RegistryKeyPath(out->keyId);
  return out->path.empty() ? ERROR_KEY_DELETED : ERROR_SUCCESS;
}

HKEY AddHandle(uint64_t keyId, ACCESS_MASK access) {
  InstallEndHook();
  HKEY key = static_cast<HKEY>(platform::detail::NewProcessHandleValue());
  Table& t = TheTable();
  std::lock_guard<std::mutex> lock(t.lock);
  Handle& h = t.processes[CurrentClientProcess()][key];
  h.keyId = keyId;
  h.access = access;
  return key;
}

LSTATUS CloseKeyHandle(HKEY key) {
  std::vector<uint64_t> watches;
  {
    Table& t = TheTable();
    std::lock_guard<std::mutex> lock(t.lock);
    auto p = t.processes.find(CurrentClientProcess());
    if (PredefinedPath(key)) return ERROR_SUCCESS;  // the roots stay open
    if (p == t.processes.end()) return ERROR_INVALID_HANDLE;
    auto h = p->second.find(key);
    if (h == p->second.end()) return ERROR_INVALID_HANDLE;
    watches = std::move(h->second.watches);
    p->second.erase(h);
  }
  CompleteWatches(watches);
  return ERROR_SUCCESS;
}

bool AddWatch(HKEY key, uint64_t watchId) {
  InstallEndHook();
  Table& t = TheTable();
  std::lock_guard<std::mutex> lock(t.lock);
  auto& handles = t.processes[CurrentClientProcess()];
  auto h = handles.find(key);
  if (h == handles.end()) {
    if (!PredefinedPath(key)) return false;
    h = handles.emplace(key, Handle{}).first;  // a root: an entry for its watches only
  }
  // Watches that fired are done with; a watch loop would pile them up.
  auto& watches = h->second.watches;
  std::vector<uint64_t> pending;
  for (uint64_t w : watches)
    if (RegistryWatchPending(w)) pending.push_back(w);
  pending.push_back(watchId);
  watches = std::move(pending);
  return true;
}

LSTATUS Resolve(const OpenKey& base, LPCWSTR subKey, REGSAM sam, std::u16string* path) {
  std::u16string sub = FromWide(subKey);
  while (!sub.empty() && sub.back() == u'\\') sub.pop_back();
  if (!sub.empty()) {
    if (sub.front() == u'\\' || sub.find(u"\\\\") != std::u16string::npos) return ERROR_BAD_PATHNAME;
    for (const std::u16string& part : Split(sub))
      if (part.size() > 255) return ERROR_INVALID_PARAMETER;  // a key name holds at most 255 characters
  }
  std::u16string full = sub.empty() ? base.path : base.path + u"\\" + sub;
  bool view32 = (sam & KEY_WOW64_32KEY) || (IsClientProcess32Bit(CurrentClientProcess()) && !(sam & KEY_WOW64_64KEY));
  *path = view32 ? Redirected(full) : full;
  return ERROR_SUCCESS;
}

bool IsRootPath(const std::u16string& path) {
  for (const char16_t* root :
       {u"\\Registry", kMachinePath, kUsersPath, static_cast<const char16_t*>(kCurrentUserPath),
        u"\\Registry\\Machine\\SOFTWARE", kClassesPath})
    if (EqualsIgnoringCase(path, root)) return true;
  return false;
}

ACCESS_MASK GrantedAccess(REGSAM sam) {
  ACCESS_MASK access = sam & ~static_cast<ACCESS_MASK>(KEY_WOW64_RES);
  if (access & (MAXIMUM_ALLOWED | GENERIC_ALL)) access |= KEY_ALL_ACCESS;
  if (access & GENERIC_READ) access |= KEY_READ;
  if (access & GENERIC_WRITE) access |= KEY_WRITE;
  if (access & GENERIC_EXECUTE) access |= KEY_EXECUTE;
  return access & ~static_cast<ACCESS_MASK>(MAXIMUM_ALLOWED | GENERIC_ALL | GENERIC_READ | GENERIC_WRITE |
                                            GENERIC_EXECUTE);
}

bool ValidView(REGSAM sam) { return (sam & KEY_WOW64_RES) != KEY_WOW64_RES; }

LSTATUS ErrorOf(RegistryStatus status) {
  switch (status) {
    case RegistryStatus::kSuccess:
      return ERROR_SUCCESS;
    case RegistryStatus::kNotFound:
      return ERROR_FILE_NOT_FOUND;
    case RegistryStatus::kKeyDeleted:
      return ERROR_KEY_DELETED;
    case RegistryStatus::kHasSubkeys:
      return ERROR_ACCESS_DENIED;  // as RegDeleteKey reports a key with subkeys
  }
  return ERROR_GEN_FAILURE;
}

}  // namespace platform::win32::registry

namespace platform::win32 {

size_t OpenRegistryKeyHandles(const ClientProcess* process) {
  registry::Table& t = registry::TheTable();
  std::lock_guard<std::mutex> lock(t.lock);
  auto p = t.processes.find(const_cast<ClientProcess*>(process));
  if (p == t.processes.end()) return 0;
  size_t n = 0;
  for (const auto& entry : p->second) n += registry::PredefinedPath(entry.first) == nullptr;
  return n;
}

}  // namespace platform::win32
