// Placeholder: replaced by the COM base.
#include "asio/com/com_base.h"

CBaseObject::CBaseObject() {}
CBaseObject::~CBaseObject() {}
LONG CBaseObject::ObjectCount() { return 0; }

CUnknown::CUnknown(IUnknown* outer) : m_outer(outer) {}
CUnknown::~CUnknown() {}
HRESULT STDMETHODCALLTYPE CUnknown::NonDelegatingQueryInterface(REFIID, void** out) {
  if (out != nullptr) *out = nullptr;
  return E_NOINTERFACE;
}
ULONG STDMETHODCALLTYPE CUnknown::NonDelegatingAddRef() { return 1; }
ULONG STDMETHODCALLTYPE CUnknown::NonDelegatingRelease() { return 1; }
