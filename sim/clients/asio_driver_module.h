// The ASIO driver DLL "installed" on the simulated machine: the host build
// links the driver's code in, so the loader is told that
// vm_usbaudio_asio.dll lives at a Windows path and exports the four entry
// points (with DllMain as its entry). Registration then runs as regsvr32
// does it: a process of its own loads the DLL and calls DllRegisterServer
// (or DllUnregisterServer), which writes the keys hosts search.
#pragma once

#include "kslib/user_prelude.h"

#include <string>

namespace sim {

// Where the installer puts the DLL.
constexpr char kAsioDriverModulePath[] = "C:\\Program Files\\Velmora\\vm_usbaudio_asio.dll";

// Makes vm_usbaudio_asio.dll known to the loader at `path` (again: the
// same module, now at that path). Returns its module handle value.
HMODULE InstallAsioDriverModule(const std::string& path = kAsioDriverModulePath);

// regsvr32 [/u] vm_usbaudio_asio.dll in a process of its own: LoadLibraryW,
// GetProcAddress of the entry point, the call, FreeLibrary. Returns what the
// entry point returned, or HRESULT_FROM_WIN32 of a failed load or look-up.
HRESULT RunRegsvr32(bool unregister = false, const std::string& path = kAsioDriverModulePath);

}  // namespace sim
