#include "sim/clients/asio_driver_module.h"

#include <vector>

#include "asio/com/dll_entry.h"
#include "platform/kernel/client_process.h"
#include "platform/win32/system_host.h"

namespace sim {

namespace {

template <typename Fn>
FARPROC Export(Fn* fn) {
  return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(fn));
}

// Wide text as the Win32 calls take it (WCHAR is 16 bits here, so not std::wstring).
std::vector<WCHAR> Wide(const std::string& text) {
  std::vector<WCHAR> wide(text.begin(), text.end());
  wide.push_back(0);
  return wide;
}

}  // namespace

HMODULE InstallAsioDriverModule(const std::string& path) {
  const std::vector<platform::win32::ModuleExport> exports = {
      {"DllGetClassObject", Export(&DllGetClassObject)},
      {"DllCanUnloadNow", Export(&DllCanUnloadNow)},
      {"DllRegisterServer", Export(&DllRegisterServer)},
      {"DllUnregisterServer", Export(&DllUnregisterServer)},
  };
  return platform::win32::RegisterModule("vm_usbaudio_asio.dll", exports, path, &DllMain);
}

HRESULT RunRegsvr32(bool unregister, const std::string& path) {
  platform::ClientProcess* process = platform::CreateClientProcess(unregister ? "regsvr32 /u" : "regsvr32");
  HRESULT result = S_OK;
  {
    platform::ProcessScope in(process);
    const std::vector<WCHAR> file = Wide(path);
    HMODULE module = LoadLibraryW(file.data());
    if (module == nullptr) {
      result = HRESULT_FROM_WIN32(GetLastError());
    } else {
      typedef HRESULT(STDAPICALLTYPE * EntryPoint)(void);
      const auto entry = reinterpret_cast<EntryPoint>(
          reinterpret_cast<void (*)()>(GetProcAddress(module, unregister ? "DllUnregisterServer" : "DllRegisterServer")));
      result = entry != nullptr ? entry() : HRESULT_FROM_WIN32(GetLastError());
      FreeLibrary(module);
    }
  }
  platform::EndClientProcess(process);
  return result;
}

}  // namespace sim
