// Placeholder: replaced by the class factory.
#include "asio/com/class_factory.h"

CClassFactory::CClassFactory(const ClassTableRow* row) : m_row(row) {}
HRESULT STDMETHODCALLTYPE CClassFactory::QueryInterface(REFIID, void** out) {
  if (out != nullptr) *out = nullptr;
  return E_NOINTERFACE;
}
ULONG STDMETHODCALLTYPE CClassFactory::AddRef() { return 1; }
ULONG STDMETHODCALLTYPE CClassFactory::Release() { return 1; }
HRESULT STDMETHODCALLTYPE CClassFactory::CreateInstance(IUnknown*, REFIID, void** out) {
  if (out != nullptr) *out = nullptr;
  return E_NOTIMPL;
}
HRESULT STDMETHODCALLTYPE CClassFactory::LockServer(BOOL) { return S_OK; }
LONG CClassFactory::LockCount() { return 0; }
