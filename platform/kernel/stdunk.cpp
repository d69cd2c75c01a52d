// CUnknown: reference count and outer unknown of kernel-mode COM objects.
// Kept in an object file of its own: a driver that defines these members
// itself (as it must on Windows, where mingw-w64 has no library for them)
// leaves this file out of the link.
#include <wdm.h>
#include <portcls.h>
#include <stdunk.h>

#include "platform/kernel/internal.h"

CUnknown::CUnknown(PUNKNOWN pUnknownOuter) : m_ref_count(0) {
  // Without an outer unknown the object answers for itself: its
  // non-delegating methods sit in the slots of IUnknown's.
  m_outer_unknown = pUnknownOuter ? pUnknownOuter : reinterpret_cast<PUNKNOWN>(static_cast<INonDelegatingUnknown*>(this));
}

CUnknown::~CUnknown() {}

STDMETHODIMP_(ULONG) CUnknown::NonDelegatingAddRef() { return static_cast<ULONG>(InterlockedIncrement(&m_ref_count)); }

STDMETHODIMP_(ULONG) CUnknown::NonDelegatingRelease() {
  LONG count = InterlockedDecrement(&m_ref_count);
  if (count < 0)
    platform::detail::BugCheckAt(USBAUDIO_CALLER(), "COM_REFERENCE_UNDERFLOW", "object %p released once too often",
                                 static_cast<void*>(this));
  if (count == 0) {
    // Keep the count above zero while the destructor runs, so a reference
    // taken and dropped there does not delete the object a second time.
    m_ref_count = 1;
    delete this;
    return 0;
  }
  return static_cast<ULONG>(count);
}

STDMETHODIMP_(NTSTATUS) CUnknown::NonDelegatingQueryInterface(REFIID rIID, PVOID* ppVoid) {
  if (IsEqualGUID(rIID, IID_IUnknown)) {
    *ppVoid = reinterpret_cast<PVOID>(static_cast<INonDelegatingUnknown*>(this));
    NonDelegatingAddRef();
    return STATUS_SUCCESS;
  }
  *ppVoid = NULL;
  return STATUS_INVALID_PARAMETER;
}
