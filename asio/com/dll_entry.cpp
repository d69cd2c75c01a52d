// The DLL's entry points: DllMain, the class objects, the unload check and
// self-registration.
#include "asio/com/dll_entry.h"

#include <new>

#include "asio/com/class_factory.h"
#include "asio/com/registration.h"

namespace {

HINSTANCE g_module = nullptr;
DWORD g_platformId = 0;

void NotifyClasses(BOOL loaded) {
  for (int i = 0; i < g_classTableCount; ++i) {
    if (g_classTable[i].load != nullptr) g_classTable[i].load(loaded);
  }
}

// What regsvr32 reports for any registration error.
constexpr HRESULT kRegistrationFailed = static_cast<HRESULT>(0xFFFFFFFFu);

}  // namespace

HINSTANCE AsioModuleHandle() { return g_module; }
DWORD AsioPlatformId() { return g_platformId; }

extern "C" {

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    OutputDebugStringW(L"DLL_PROCESS_ATTACH\n\n");
    DisableThreadLibraryCalls(instance);
    g_module = instance;
    OSVERSIONINFOW version = {};
    version.dwOSVersionInfoSize = sizeof(version);
    if (GetVersionExW(&version)) g_platformId = version.dwPlatformId;
    NotifyClasses(TRUE);
  } else if (reason == DLL_PROCESS_DETACH) {
    OutputDebugStringW(L"DLL_PROCESS_DETACH\n\n");
    NotifyClasses(FALSE);
  }
  return TRUE;
}

HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID clsid, REFIID iid, LPVOID* out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  if (!IsEqualGUID(iid, IID_IUnknown) && !IsEqualGUID(iid, IID_IClassFactory)) return E_NOINTERFACE;
  for (int i = 0; i < g_classTableCount; ++i) {
    if (!IsEqualGUID(clsid, *g_classTable[i].clsid)) continue;
    CClassFactory* factory = new (std::nothrow) CClassFactory(&g_classTable[i]);
    if (factory == nullptr) return E_OUTOFMEMORY;
    factory->AddRef();
    *out = static_cast<IClassFactory*>(factory);
    return S_OK;
  }
  return CLASS_E_CLASSNOTAVAILABLE;
}

HRESULT STDAPICALLTYPE DllCanUnloadNow(void) {
  return CClassFactory::LockCount() > 0 || CBaseObject::ObjectCount() > 0 ? S_FALSE : S_OK;
}

HRESULT STDAPICALLTYPE DllRegisterServer(void) {
  const LONG result = RegisterAsioDriver(CLSID_KelAsioDriver, VM_ASIO_MODULE_NAME, VM_ASIO_DRIVER_NAME,
                                         VM_ASIO_DRIVER_NAME, VM_ASIO_THREADING_MODEL);
  return result == 0 ? S_OK : kRegistrationFailed;
}

HRESULT STDAPICALLTYPE DllUnregisterServer(void) {
  const LONG result = UnregisterAsioDriver(CLSID_KelAsioDriver, VM_ASIO_MODULE_NAME, VM_ASIO_DRIVER_NAME);
  return result == 0 ? S_OK : kRegistrationFailed;
}

}  // extern "C"
