// The minimal COM base of the ASIO driver: a live-object counter
// (CBaseObject) and the aggregatable IUnknown implementation (CUnknown) the
// driver object derives from.
#pragma once

#include "kslib/user_prelude.h"

// Counts live objects process-wide, for DllCanUnloadNow.
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
// not aggregated).
struct INonDelegatingUnknown {
  virtual HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID iid, void** out) = 0;
  virtual ULONG STDMETHODCALLTYPE NonDelegatingAddRef() = 0;
  virtual ULONG STDMETHODCALLTYPE NonDelegatingRelease() = 0;
};

class CUnknown : public INonDelegatingUnknown, public CBaseObject {
 public:
  // outer: the aggregating object, or null (then the object's own
  // non-delegating unknown is its outer unknown).
  explicit CUnknown(IUnknown* outer);
  ~CUnknown() override;

  HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID iid, void** out) override;
  ULONG STDMETHODCALLTYPE NonDelegatingAddRef() override;
  ULONG STDMETHODCALLTYPE NonDelegatingRelease() override;

  IUnknown* GetOwner() const { return m_outer; }

 protected:
  IUnknown* m_outer;
  volatile LONG m_refCount = 0;
};
