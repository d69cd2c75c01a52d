// <libloaderapi.h>: the modules the system loads at run time. A module is
// found by its base name as the loader finds known DLLs (case-insensitive,
// directory ignored, ".dll" implied without an extension); each process
// counts its own LoadLibraryW references and the module leaves the process
// when FreeLibrary drops the last one. kernel32 is mapped in every process
// and never leaves. A module handle is the module's (fictitious) base
// address, the same in every process, as for system DLLs on Windows.
// A registered module may have an entry point, called like a DLL's DllMain
// at its first load into a process and its last release there; the loader's
// mutex is recursive so the entry can use the loader as Windows' loader
// lock allows.
#include <avrt.h>

#include <cstdint>
#include <map>
#include <mutex>
#include <set>

#include "platform/kernel/client_process.h"
#include "platform/win32/system_host.h"
#include "platform/win32/text_internal.h"
#include "platform/win32/win32_internal.h"

namespace {

using platform::ClientProcess;

constexpr uintptr_t kMainModuleBase = 0x140000000;
constexpr uintptr_t kDllBase = 0x7FFB00000000;
constexpr uintptr_t kDllStride = 0x100000;
constexpr uint64_t kKernel32 = 1;

struct Module {
  std::string key;  // ModuleKey of its name
  std::string path;
  std::map<std::string, FARPROC> exports;
  bool pinned = false;  // mapped in every process, never unloaded
  bool builtin = false;
  platform::win32::ModuleEntry entry = nullptr;
  bool threadCallsDisabled = false;
};

template <typename Fn>
FARPROC Proc(Fn* fn) {
  return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(fn));
}

// Lower-case base name with the ".dll" the loader implies ("kernel32" and
// "C:\Windows\System32\KERNEL32.DLL" both give "kernel32.dll"). A trailing
// dot means "no extension" to the loader and is dropped.
std::string ModuleKey(const std::u16string& name) {
  size_t start = name.find_last_of(u"\\/");
  std::u16string base = start == std::u16string::npos ? name : name.substr(start + 1);
  if (base.find(u'.') == std::u16string::npos) {
    base += u".dll";
  } else if (!base.empty() && base.back() == u'.') {
    base.pop_back();
  }
  for (auto& c : base) c = static_cast<char16_t>(platform::win32::detail::FoldCase(static_cast<WCHAR>(c)));
  return platform::win32::detail::ToUtf8(reinterpret_cast<const WCHAR*>(base.data()), base.size());
}

std::string ModuleKey(const std::string& utf8) { return ModuleKey(platform::win32::detail::FromUtf8(utf8)); }

struct Loader {
  std::recursive_mutex mutex;
  std::map<std::string, uint64_t> byName;
  std::map<uint64_t, Module> modules;
  uint64_t nextId = 1;
  std::set<std::string> missingModules;
  std::set<std::pair<std::string, std::string>> missingExports;
  std::map<const ClientProcess*, std::map<uint64_t, unsigned>> loaded;

  Loader() { AddBuiltins(); }

  uint64_t Add(const std::string& key, Module module) {
    module.key = key;
    auto found = byName.find(key);
    if (found != byName.end()) {
      // A replacement (a test's own ksuser.dll, say) stays where the
      // original was mapped and keeps its path unless given one.
      Module& old = modules[found->second];
      if (module.path.empty()) module.path = old.path;
      module.pinned = old.pinned;
      old = std::move(module);
      return found->second;
    }
    uint64_t id = nextId++;
    byName[key] = id;
    modules[id] = std::move(module);
    return id;
  }

  void AddBuiltins() {
    Module kernel32;
    kernel32.path = "C:\\Windows\\System32\\KERNEL32.DLL";
    kernel32.pinned = true;
    kernel32.builtin = true;
    kernel32.exports = {
        {"GetLogicalProcessorInformation", Proc(&GetLogicalProcessorInformation)},
        {"GetVersionExW", Proc(&GetVersionExW)},
        {"GetTickCount", Proc(&GetTickCount)},
        {"GetTickCount64", Proc(&GetTickCount64)},
        {"QueryPerformanceCounter", Proc(&QueryPerformanceCounter)},
        {"QueryPerformanceFrequency", Proc(&QueryPerformanceFrequency)},
        {"OutputDebugStringW", Proc(&OutputDebugStringW)},
        {"OutputDebugStringA", Proc(&OutputDebugStringA)},
        {"LoadLibraryW", Proc(&LoadLibraryW)},
        {"GetModuleHandleW", Proc(&GetModuleHandleW)},
        {"GetProcAddress", Proc(&GetProcAddress)},
        {"FreeLibrary", Proc(&FreeLibrary)},
        {"GetModuleFileNameW", Proc(&GetModuleFileNameW)},
        {"DisableThreadLibraryCalls", Proc(&DisableThreadLibraryCalls)},
        {"GetLastError", Proc(&GetLastError)},
        {"SetLastError", Proc(&SetLastError)},
        {"lstrlenW", Proc(&lstrlenW)},
        {"lstrcmpW", Proc(&lstrcmpW)},
        {"lstrcmpiW", Proc(&lstrcmpiW)},
        {"lstrcpynW", Proc(&lstrcpynW)},
        {"LocalAlloc", Proc(&LocalAlloc)},
        {"LocalFree", Proc(&LocalFree)},
    };
    Add("kernel32.dll", std::move(kernel32));

    Module ksuser;
    ksuser.path = "C:\\Windows\\System32\\ksuser.dll";
    ksuser.builtin = true;
    ksuser.exports = {{"KsCreatePin", Proc(&platform::win32::detail::KsUserCreatePin)}};
    Add("ksuser.dll", std::move(ksuser));

    Module avrt;
    avrt.path = "C:\\Windows\\System32\\avrt.dll";
    avrt.builtin = true;
    avrt.exports = {
        {"AvSetMmThreadCharacteristicsW", Proc(&AvSetMmThreadCharacteristicsW)},
        {"AvRevertMmThreadCharacteristics", Proc(&AvRevertMmThreadCharacteristics)},
        {"AvSetMmThreadPriority", Proc(&AvSetMmThreadPriority)},
    };
    Add("avrt.dll", std::move(avrt));
  }

  void Reset() {
    byName.clear();
    modules.clear();
    missingModules.clear();
    missingExports.clear();
    loaded.clear();
    // Ids are never reused: a handle kept across a reset stays unknown.
    AddBuiltins();
  }

  // The module a handle names, when it is mapped in `process`.
  Module* Mapped(const ClientProcess* process, HMODULE handle, uint64_t* idOut) {
    auto base = reinterpret_cast<uintptr_t>(handle);
    if (base < kDllBase || (base - kDllBase) % kDllStride != 0) return nullptr;
    uint64_t id = (base - kDllBase) / kDllStride;
    auto module = modules.find(id);
    if (module == modules.end()) return nullptr;
    if (!module->second.pinned) {
      auto counts = loaded.find(process);
      if (counts == loaded.end() || counts->second.count(id) == 0) return nullptr;
    }
    if (idOut) *idOut = id;
    return &module->second;
  }
};

void OnProcessEnd(ClientProcess* process);

// The loader forgets a process's modules when the process ends (the
// process's address may be reused by a new one).
Loader& TheLoader() {
  static Loader* loader = [] {
    platform::AddProcessEndHook(&OnProcessEnd);
    return new Loader();
  }();
  return *loader;
}

void OnProcessEnd(ClientProcess* process) {
  Loader& l = TheLoader();
  std::lock_guard<std::recursive_mutex> lock(l.mutex);
  l.loaded.erase(process);
}

HMODULE HandleOf(uint64_t id) { return reinterpret_cast<HMODULE>(kDllBase + id * kDllStride); }

std::u16string WideArg(LPCWSTR text) {
  std::u16string s;
  for (size_t i = 0; text[i]; ++i) s += static_cast<char16_t>(text[i]);
  return s;
}

}  // namespace

namespace platform::win32 {

void SetModuleMissing(const std::string& module, bool missing) {
  Loader& l = TheLoader();
  std::lock_guard<std::recursive_mutex> lock(l.mutex);
  if (missing) {
    l.missingModules.insert(ModuleKey(module));
  } else {
    l.missingModules.erase(ModuleKey(module));
  }
}

void SetModuleExportMissing(const std::string& module, const std::string& exportName, bool missing) {
  Loader& l = TheLoader();
  std::lock_guard<std::recursive_mutex> lock(l.mutex);
  auto key = std::make_pair(ModuleKey(module), exportName);
  if (missing) {
    l.missingExports.insert(key);
  } else {
    l.missingExports.erase(key);
  }
}

HMODULE RegisterModule(const std::string& name, const std::vector<ModuleExport>& exports, const std::string& path,
                       ModuleEntry entry) {
  Loader& l = TheLoader();
  std::lock_guard<std::recursive_mutex> lock(l.mutex);
  Module module;
  module.path = path;
  module.entry = entry;
  if (path.empty() && l.byName.count(ModuleKey(name)) == 0) module.path = name;
  for (const auto& e : exports) module.exports[e.name] = e.address;
  return HandleOf(l.Add(ModuleKey(name), std::move(module)));
}

bool ThreadLibraryCallsDisabled(const std::string& module) {
  Loader& l = TheLoader();
  std::lock_guard<std::recursive_mutex> lock(l.mutex);
  auto id = l.byName.find(ModuleKey(module));
  return id != l.byName.end() && l.modules[id->second].threadCallsDisabled;
}

unsigned ModuleReferenceCount(const ClientProcess* process, const std::string& module) {
  Loader& l = TheLoader();
  std::lock_guard<std::recursive_mutex> lock(l.mutex);
  auto id = l.byName.find(ModuleKey(module));
  auto counts = l.loaded.find(process);
  if (id == l.byName.end() || counts == l.loaded.end()) return 0;
  auto count = counts->second.find(id->second);
  return count == counts->second.end() ? 0 : count->second;
}

void ForgetProcessModules(const ClientProcess* process) {
  Loader& l = TheLoader();
  std::lock_guard<std::recursive_mutex> lock(l.mutex);
  l.loaded.erase(process);
}

namespace detail {
// Part of ResetSystemStandIns.
void ResetModules() {
  Loader& l = TheLoader();
  std::lock_guard<std::recursive_mutex> lock(l.mutex);
  l.Reset();
}
}  // namespace detail

}  // namespace platform::win32

USBAUDIO_BEGIN_C

HMODULE WINAPI LoadLibraryW(LPCWSTR lpLibFileName) {
  ClientProcess* process = platform::win32::detail::RequireClientProcess("LoadLibraryW");
  if (!lpLibFileName || !*lpLibFileName) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  const std::string key = ModuleKey(WideArg(lpLibFileName));
  Loader& l = TheLoader();
  std::lock_guard<std::recursive_mutex> lock(l.mutex);
  auto found = l.byName.find(key);
  if (found == l.byName.end() || l.missingModules.count(key)) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  const uint64_t id = found->second;
  const HMODULE handle = HandleOf(id);
  const Module& module = l.modules[id];
  if (module.pinned) return handle;
  const platform::win32::ModuleEntry entry = module.entry;
  if (++l.loaded[process][id] == 1 && entry != nullptr && !entry(handle, DLL_PROCESS_ATTACH, nullptr)) {
    // As Windows does: the entry hears the detach, the module leaves.
    entry(handle, DLL_PROCESS_DETACH, nullptr);
    auto& counts = l.loaded[process];
    if (--counts[id] == 0) counts.erase(id);
    SetLastError(ERROR_DLL_INIT_FAILED);
    return nullptr;
  }
  return handle;
}

// No reference is taken; the module must already be mapped in the process.
// A null name is the program's own module.
HMODULE WINAPI GetModuleHandleW(LPCWSTR lpModuleName) {
  ClientProcess* process = platform::win32::detail::RequireClientProcess("GetModuleHandleW");
  if (!lpModuleName) return reinterpret_cast<HMODULE>(kMainModuleBase);
  const std::string key = ModuleKey(WideArg(lpModuleName));
  Loader& l = TheLoader();
  std::lock_guard<std::recursive_mutex> lock(l.mutex);
  auto found = l.byName.find(key);
  if (found != l.byName.end()) {
    HMODULE handle = HandleOf(found->second);
    if (l.Mapped(process, handle, nullptr)) return handle;
  }
  SetLastError(ERROR_MOD_NOT_FOUND);
  return nullptr;
}

// Exports are looked up by exact (case-sensitive) name; the modules here
// export nothing by ordinal, and the program's own module nothing at all.
FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName) {
  ClientProcess* process = platform::win32::detail::RequireClientProcess("GetProcAddress");
  if (hModule == nullptr || reinterpret_cast<uintptr_t>(hModule) == kMainModuleBase) {
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
  }
  Loader& l = TheLoader();
  std::lock_guard<std::recursive_mutex> lock(l.mutex);
  Module* module = l.Mapped(process, hModule, nullptr);
  if (!module) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  if (reinterpret_cast<uintptr_t>(lpProcName) <= 0xFFFF) {
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
  }
  auto e = module->exports.find(lpProcName);
  if (e == module->exports.end() || l.missingExports.count({module->key, lpProcName})) {
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
  }
  return e->second;
}

BOOL WINAPI FreeLibrary(HMODULE hLibModule) {
  ClientProcess* process = platform::win32::detail::RequireClientProcess("FreeLibrary");
  Loader& l = TheLoader();
  std::lock_guard<std::recursive_mutex> lock(l.mutex);
  uint64_t id = 0;
  Module* module = l.Mapped(process, hLibModule, &id);
  if (!module) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return FALSE;
  }
  if (module->pinned) return TRUE;
  const platform::win32::ModuleEntry entry = module->entry;
  auto& counts = l.loaded[process];
  if (--counts[id] == 0) {
    // The entry runs while the module is still mapped (count 0, not erased).
    if (entry != nullptr) entry(hLibModule, DLL_PROCESS_DETACH, nullptr);
    auto& after = l.loaded[process];
    auto count = after.find(id);
    if (count != after.end() && count->second == 0) after.erase(count);
  }
  return TRUE;
}

// Thread attach/detach calls are not made here; the call records that the
// module asked for none.
BOOL WINAPI DisableThreadLibraryCalls(HMODULE hLibModule) {
  ClientProcess* process = platform::win32::detail::RequireClientProcess("DisableThreadLibraryCalls");
  Loader& l = TheLoader();
  std::lock_guard<std::recursive_mutex> lock(l.mutex);
  Module* module = l.Mapped(process, hLibModule, nullptr);
  if (!module) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return FALSE;
  }
  module->threadCallsDisabled = true;
  return TRUE;
}

// The module's path; a buffer too small gets the path cut to nSize - 1
// units and terminated, the result is nSize and the error
// ERROR_INSUFFICIENT_BUFFER (as since Windows Vista).
DWORD WINAPI GetModuleFileNameW(HMODULE hModule, LPWSTR lpFilename, DWORD nSize) {
  ClientProcess* process = platform::win32::detail::RequireClientProcess("GetModuleFileNameW");
  std::string path;
  if (hModule == nullptr || reinterpret_cast<uintptr_t>(hModule) == kMainModuleBase) {
    path = "C:\\Program Files\\" + platform::detail::ClientProcessName(process) + ".exe";
  } else {
    Loader& l = TheLoader();
    std::lock_guard<std::recursive_mutex> lock(l.mutex);
    Module* module = l.Mapped(process, hModule, nullptr);
    if (!module) {
      SetLastError(ERROR_MOD_NOT_FOUND);
      return 0;
    }
    path = module->path;
  }
  const std::u16string wide = platform::win32::detail::FromUtf8(path);
  if (nSize == 0 || !lpFilename) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  DWORD n = 0;
  for (; n + 1 < nSize && n < wide.size(); ++n) lpFilename[n] = static_cast<WCHAR>(wide[n]);
  lpFilename[n] = 0;
  if (n < wide.size()) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return nSize;
  }
  return n;
}

USBAUDIO_END_C
