// The table of creatable classes and the class factory hosts get from
// DllGetClassObject.
#pragma once

#include "asio/com/com_base.h"

// Creates a new object aggregated by `outer`; *result reports a failure of
// the construction. Returns the object's non-delegating unknown, or null.
typedef CUnknown* (*ClassCreateFunction)(IUnknown* outer, HRESULT* result);
// Called with TRUE at process attach and FALSE at detach.
typedef void (*ClassLoadFunction)(BOOL loaded);

struct ClassTableRow {
  const WCHAR* name;
  const CLSID* clsid;
  ClassCreateFunction create;
  ClassLoadFunction load;  // may be null
};

extern const ClassTableRow g_classTable[];
extern const int g_classTableCount;

class CClassFactory : public IClassFactory {
 public:
  explicit CClassFactory(const ClassTableRow* row);
  virtual ~CClassFactory() = default;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** out) override;
  HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override;

  // The process-wide LockServer count.
  static LONG LockCount();

 private:
  const ClassTableRow* m_row;
  LONG m_refCount = 0;
};
