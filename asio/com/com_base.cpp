// The live-object counter and the aggregatable IUnknown of the driver
// object. Both counts change atomically: a host may release the driver from
// any thread, and DllCanUnloadNow reads the object count from yet another.
#include "asio/com/com_base.h"

namespace asio_com {
namespace {

std::atomic<LONG> g_objectCount{0};

ULONG AtLeastOne(LONG count) { return count > 1 ? static_cast<ULONG>(count) : 1u; }

}  // namespace

CBaseObject::CBaseObject() { g_objectCount.fetch_add(1); }
CBaseObject::~CBaseObject() { g_objectCount.fetch_sub(1); }
LONG CBaseObject::ObjectCount() { return g_objectCount.load(); }

CUnknown::CUnknown(IUnknown* outer) : m_outer(outer != nullptr ? outer : NonDelegatingUnknown()) {}

CUnknown::~CUnknown() {}

HRESULT STDMETHODCALLTYPE CUnknown::NonDelegatingQueryInterface(REFIID iid, void** out) {
  if (out == nullptr) return E_POINTER;
  if (IsEqualGUID(iid, IID_IUnknown)) {
    *out = static_cast<INonDelegatingUnknown*>(this);
    NonDelegatingAddRef();
    return S_OK;
  }
  *out = nullptr;
  return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE CUnknown::NonDelegatingAddRef() { return AtLeastOne(m_refCount.fetch_add(1) + 1); }

ULONG STDMETHODCALLTYPE CUnknown::NonDelegatingRelease() {
  const LONG count = m_refCount.fetch_sub(1) - 1;
  if (count == 0) {
    // A destructor that takes and drops a reference of its own must not
    // reach 0 a second time.
    m_refCount.store(1);
    delete this;
    return 0;
  }
  return AtLeastOne(count);
}

}  // namespace asio_com
