// The class factory DllGetClassObject hands out. Its reference count is a
// plain counter (apartment threading); the lock count is atomic because
// DllCanUnloadNow may read it from another thread.
#include "asio/com/class_factory.h"

#include <atomic>

namespace {

std::atomic<LONG> g_lockCount{0};

}  // namespace

CClassFactory::CClassFactory(const ClassTableRow* row) : m_row(row) {}

HRESULT STDMETHODCALLTYPE CClassFactory::QueryInterface(REFIID iid, void** out) {
  if (out == nullptr) return E_POINTER;
  if (IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, IID_IClassFactory)) {
    *out = static_cast<IClassFactory*>(this);
    AddRef();
    return S_OK;
  }
  *out = nullptr;
  return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE CClassFactory::AddRef() { return static_cast<ULONG>(++m_refCount); }

ULONG STDMETHODCALLTYPE CClassFactory::Release() {
  const LONG count = --m_refCount;
  if (count == 0) delete this;
  return static_cast<ULONG>(count);
}

HRESULT STDMETHODCALLTYPE CClassFactory::CreateInstance(IUnknown* outer, REFIID iid, void** out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  // An aggregator must ask for the inner (non-delegating) unknown.
  if (outer != nullptr && !IsEqualGUID(iid, IID_IUnknown)) return E_NOINTERFACE;
  HRESULT result = S_OK;
  CUnknown* object = m_row->create(outer, &result);
  if (object == nullptr) return E_OUTOFMEMORY;
  if (FAILED(result)) {
    // Deleted through its last release, so references its destructor takes
    // and drops do not delete it a second time.
    object->NonDelegatingAddRef();
    object->NonDelegatingRelease();
    return result;
  }
  // The temporary reference makes a failed query delete the object (which
  // also frees the process's single-instance slot).
  object->NonDelegatingAddRef();
  result = object->NonDelegatingQueryInterface(iid, out);
  object->NonDelegatingRelease();
  return result;
}

// An unmatched unlock must not let a later lock count as none.
HRESULT STDMETHODCALLTYPE CClassFactory::LockServer(BOOL lock) {
  if (lock) {
    g_lockCount.fetch_add(1);
    return S_OK;
  }
  LONG count = g_lockCount.load();
  while (count > 0 && !g_lockCount.compare_exchange_weak(count, count - 1)) {
  }
  return S_OK;
}

LONG CClassFactory::LockCount() { return g_lockCount.load(); }
