// The DLL's exported entry points (vm_usbaudio_asio.def) and what the
// module records at load.
#pragma once

#include "kslib/user_prelude.h"

// The driver's class identifier {897B5A9B-25C7-4C20-BD6A-C13EA4397A6A}.
extern const CLSID CLSID_KelAsioDriver;

// The DLL's file name, friendly name / ASIO description and threading model.
#define VM_ASIO_MODULE_NAME L"vm_usbaudio_asio.dll"
#define VM_ASIO_DRIVER_NAME L"Velmora ASIO Device"
#define VM_ASIO_DRIVER_NAME_A "Velmora ASIO Device"
#define VM_ASIO_THREADING_MODEL L"Apartment"

extern "C" {
BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved);
HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID clsid, REFIID iid, LPVOID* out);
HRESULT STDAPICALLTYPE DllCanUnloadNow(void);
HRESULT STDAPICALLTYPE DllRegisterServer(void);
HRESULT STDAPICALLTYPE DllUnregisterServer(void);
}

// The module handle and platform id DllMain recorded at process attach.
HINSTANCE AsioModuleHandle();
DWORD AsioPlatformId();
