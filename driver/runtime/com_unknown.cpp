// CUnknown's out-of-line members. mingw-w64's <stdunk.h> declares them
// without bodies, so the Windows build of the driver brings its own; the
// host build takes them from the port library stand-in.
#include "driver/runtime/com_unknown.h"

#if defined(__MINGW32__)

CUnknown::CUnknown(PUNKNOWN pUnknownOuter)
    : m_ref_count(0),
      // Without an outer unknown the object is its own: IUnknown's three
      // slots and the non-delegating ones line up.
      m_outer_unknown(pUnknownOuter != NULL ? pUnknownOuter
                                            : reinterpret_cast<PUNKNOWN>(static_cast<PNONDELEGATINGUNKNOWN>(this))) {}

CUnknown::~CUnknown() {}

STDMETHODIMP_(ULONG) CUnknown::NonDelegatingAddRef() {
    return (ULONG)InterlockedIncrement(&m_ref_count);
}

STDMETHODIMP_(ULONG) CUnknown::NonDelegatingRelease() {
    const LONG count = InterlockedDecrement(&m_ref_count);
    if (count == 0) {
        // A destructor that takes and drops a reference must not delete twice.
        m_ref_count = 1;
        delete this;
    }
    return (ULONG)count;
}

STDMETHODIMP_(NTSTATUS) CUnknown::NonDelegatingQueryInterface(REFIID rIID, PVOID* ppVoid) {
    if (IsSameInterface(rIID, IID_IUnknown)) {
        *ppVoid = reinterpret_cast<PVOID>(static_cast<PNONDELEGATINGUNKNOWN>(this));
        NonDelegatingAddRef();
        return STATUS_SUCCESS;
    }
    *ppVoid = NULL;
    return STATUS_INVALID_PARAMETER;
}

#endif
