// Placeholder: replaced by the DLL entry points.
#include "asio/com/dll_entry.h"

static HINSTANCE g_module = nullptr;
HINSTANCE AsioModuleHandle() { return g_module; }
DWORD AsioPlatformId() { return 0; }

extern "C" {
BOOL WINAPI DllMain(HINSTANCE instance, DWORD, LPVOID) {
  g_module = instance;
  return TRUE;
}
HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID, REFIID, LPVOID* out) {
  if (out != nullptr) *out = nullptr;
  return CLASS_E_CLASSNOTAVAILABLE;
}
HRESULT STDAPICALLTYPE DllCanUnloadNow(void) { return S_OK; }
HRESULT STDAPICALLTYPE DllRegisterServer(void) { return E_NOTIMPL; }
HRESULT STDAPICALLTYPE DllUnregisterServer(void) { return E_NOTIMPL; }
}
