/* Host stand-in for the DDK's <stdunk.h>: the non-delegating unknown and
   the CUnknown base class of kernel-mode COM objects, declared as the DDK
   declares them. The out-of-line members of CUnknown live in the host's
   port library (platform/kernel/stdunk.cpp), as they live in a library on
   Windows; a driver that defines them itself takes precedence.

   Host difference: the DDK's inline global `operator delete(PVOID)` over
   ExFreePool is not defined here (it would replace the host program's own
   delete). Kernel objects must have a class-specific operator delete, which
   `delete this` in CUnknown reaches through the virtual destructor. */
#ifndef USBAUDIO_PLATFORM_STDUNK_H
#define USBAUDIO_PLATFORM_STDUNK_H

#include <punknown.h>

#ifdef __cplusplus

DECLARE_INTERFACE(INonDelegatingUnknown) {
  STDMETHOD_(NTSTATUS, NonDelegatingQueryInterface)(THIS_ REFIID, PVOID *) PURE;
  STDMETHOD_(ULONG, NonDelegatingAddRef)(THIS) PURE;
  STDMETHOD_(ULONG, NonDelegatingRelease)(THIS) PURE;
};
typedef INonDelegatingUnknown *PNONDELEGATINGUNKNOWN;

/* Reference count and outer unknown. Without an outer unknown the object is
   its own outer unknown: IUnknown calls through GetOuterUnknown() reach the
   non-delegating methods (same slots). The first reference is the
   creator's; the last Release deletes the object. */
class CUnknown : public INonDelegatingUnknown {
 private:
  LONG m_ref_count;
  PUNKNOWN m_outer_unknown;

 public:
  CUnknown(PUNKNOWN pUnknownOuter);
  virtual ~CUnknown();
  PUNKNOWN GetOuterUnknown() { return m_outer_unknown; }
  STDMETHODIMP_(ULONG) NonDelegatingAddRef();
  STDMETHODIMP_(ULONG) NonDelegatingRelease();
  STDMETHODIMP_(NTSTATUS) NonDelegatingQueryInterface(REFIID rIID, PVOID *ppVoid);
};

#define DECLARE_STD_UNKNOWN()                                                               \
  STDMETHODIMP_(NTSTATUS) NonDelegatingQueryInterface(REFIID iid, PVOID *ppvObject);        \
  STDMETHODIMP_(NTSTATUS) QueryInterface(REFIID riid, void **ppv) {                          \
    return GetOuterUnknown()->QueryInterface(riid, ppv);                                     \
  }                                                                                          \
  STDMETHODIMP_(ULONG) AddRef() { return GetOuterUnknown()->AddRef(); }                      \
  STDMETHODIMP_(ULONG) Release() { return GetOuterUnknown()->Release(); }

#define DEFINE_STD_CONSTRUCTOR(classname) \
  classname(PUNKNOWN outer_unknown) : CUnknown(outer_unknown) {}

#define QICAST(typename) PVOID((typename)(this))
#define QICASTUNKNOWN(typename) PVOID(PUNKNOWN((typename)(this)))

#define STD_CREATE_BODY_WITH_TAG_(classname, unknown, outer_unknown, pool_type, tag, base) \
  classname *new_ptr = new (pool_type, tag) classname(outer_unknown);                      \
  if (!new_ptr) return STATUS_INSUFFICIENT_RESOURCES;                                      \
  *unknown = PUNKNOWN((base)(new_ptr));                                                    \
  (*unknown)->AddRef();                                                                    \
  return STATUS_SUCCESS

#define STD_CREATE_BODY_WITH_TAG(classname, unknown, outer_unknown, pool_type, tag, base) \
  STD_CREATE_BODY_WITH_TAG_(classname, unknown, outer_unknown, pool_type, tag, PUNKNOWN)
#define STD_CREATE_BODY_(classname, unknown, outer_unknown, pool_type, base) \
  STD_CREATE_BODY_WITH_TAG_(classname, unknown, outer_unknown, pool_type, 0x72436350 /* 'rCcP' */, base)
#define STD_CREATE_BODY(classname, unknown, outer_unknown, pool_type) \
  STD_CREATE_BODY_(classname, unknown, outer_unknown, pool_type, PUNKNOWN)

/* Zero-filled tagged pool allocations for kernel objects. noexcept, so a
   new-expression checks for null before constructing. */
#ifndef _NEW_DELETE_OPERATORS_
#define _NEW_DELETE_OPERATORS_
inline PVOID KCOM_New(size_t size, POOL_TYPE pool_type, ULONG tag) {
  PVOID result = ExAllocatePoolWithTag(pool_type, size, tag);
  if (result) RtlZeroMemory(result, size);
  return result;
}
inline PVOID operator new(size_t size, POOL_TYPE pool_type) noexcept { return KCOM_New(size, pool_type, 0x774E6350 /* 'wNcP' */); }
inline PVOID operator new(size_t size, POOL_TYPE pool_type, ULONG tag) noexcept {
  return KCOM_New(size, pool_type, tag);
}
#endif

#endif /* __cplusplus */

#endif
