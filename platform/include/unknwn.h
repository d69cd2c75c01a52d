/* Host stand-in for the SDK's <unknwn.h>: user-mode IUnknown. Its
   QueryInterface returns an HRESULT; HRESULT and NTSTATUS are the same
   32-bit type here, so the kernel's <punknown.h> declares the same
   interface and whichever comes first defines it. */
#ifndef USBAUDIO_PLATFORM_UNKNWN_H
#define USBAUDIO_PLATFORM_UNKNWN_H

#include <windows.h>
#include <basetyps.h>

#ifndef __IUnknown_INTERFACE_DEFINED__
#define __IUnknown_INTERFACE_DEFINED__
DEFINE_GUID(IID_IUnknown, 0x00000000, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46);
#ifdef __cplusplus
DECLARE_INTERFACE(IUnknown) {
  STDMETHOD(QueryInterface)(THIS_ REFIID riid, void **ppvObject) PURE;
  STDMETHOD_(ULONG, AddRef)(THIS) PURE;
  STDMETHOD_(ULONG, Release)(THIS) PURE;
};
#endif
#endif
typedef IUnknown *LPUNKNOWN;

DEFINE_GUID(IID_IClassFactory, 0x00000001, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46);
#ifdef __cplusplus
DECLARE_INTERFACE_(IClassFactory, IUnknown) {
  STDMETHOD(CreateInstance)(THIS_ IUnknown * pUnkOuter, REFIID riid, void **ppvObject) PURE;
  STDMETHOD(LockServer)(THIS_ BOOL fLock) PURE;
};
#endif
typedef IClassFactory *LPCLASSFACTORY;

#endif
