// The minimal COM base of the ASIO driver: a live-object counter
// (CBaseObject) and the aggregatable IUnknown implementation (CUnknown) the
// driver object derives from.
#pragma once

#include "kslib/user_prelude.h"

#include <atomic>

// The kernel's port library has a CUnknown and an INonDelegatingUnknown of
// its own (<stdunk.h>); the host build links the kernel driver and this DLL
// into one program, so these live in a namespace and are brought to global
// scope by name, which keeps their link names apart.
namespace asio_com {

// Counts live objects process-wide (atomically), for DllCanUnloadNow.
class CBaseObject {
 public:
  CBaseObject();
  virtual ~CBaseObject();
  CBaseObject(const CBaseObject&) = delete;
  CBaseObject& operator=(const CBaseObject&) = delete;

  static LONG ObjectCount();
};

// The non-delegating half of an aggregatable object; an object's
// QueryInterface/AddRef/Release forward to the outer unknown (itself when
// not aggregated). Its three slots match IUnknown's, so a pointer to it is
// handed out and called as an IUnknown (the aggregator's inner unknown).
struct INonDelegatingUnknown {
  virtual HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID iid, void** out) = 0;
  virtual ULONG STDMETHODCALLTYPE NonDelegatingAddRef() = 0;
  virtual ULONG STDMETHODCALLTYPE NonDelegatingRelease() = 0;
};

class CUnknown : public INonDelegatingUnknown, public CBaseObject {
 public:
  // outer: the aggregating object, or null (then the object's own
  // non-delegating unknown is its outer unknown). The count starts at 0:
  // the creator takes the first reference.
  explicit CUnknown(IUnknown* outer);
  ~CUnknown() override;

  // IID_IUnknown: the non-delegating unknown with a reference added.
  HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID iid, void** out) override;
  // Atomic; the new count, at least 1.
  ULONG STDMETHODCALLTYPE NonDelegatingAddRef() override;
  // Atomic; at 0 the object is deleted (the count is set to 1 first so
  // releases made while it is destroyed do nothing) and 0 returned.
  ULONG STDMETHODCALLTYPE NonDelegatingRelease() override;

  IUnknown* GetOwner() const { return m_outer; }
  // The object's own non-delegating unknown, typed as the IUnknown callers
  // use.
  IUnknown* NonDelegatingUnknown() {
    return reinterpret_cast<IUnknown*>(static_cast<INonDelegatingUnknown*>(this));
  }

 protected:
  IUnknown* m_outer;
  std::atomic<LONG> m_refCount{0};
};

}  // namespace asio_com

using asio_com::CBaseObject;
using asio_com::CUnknown;
using asio_com::INonDelegatingUnknown;
