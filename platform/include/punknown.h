/* Host stand-in for the DDK's <punknown.h>: kernel-mode IUnknown, whose
   QueryInterface returns an NTSTATUS. C++ only; in C the interface is
   opaque. */
#ifndef USBAUDIO_PLATFORM_PUNKNOWN_H
#define USBAUDIO_PLATFORM_PUNKNOWN_H

#include <wdm.h>
#include <basetyps.h>

#ifndef __IUnknown_INTERFACE_DEFINED__
#define __IUnknown_INTERFACE_DEFINED__
DEFINE_GUID(IID_IUnknown, 0x00000000, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46);

#ifdef __cplusplus
DECLARE_INTERFACE(IUnknown) {
  STDMETHOD_(NTSTATUS, QueryInterface)(THIS_ REFIID InterfaceId, PVOID *Interface) PURE;
  STDMETHOD_(ULONG, AddRef)(THIS) PURE;
  STDMETHOD_(ULONG, Release)(THIS) PURE;
};
#else
typedef struct IUnknown IUnknown;
#endif
#endif

typedef IUnknown *PUNKNOWN;

/* The three IUnknown methods, repeated at the top of a derived interface. */
#define DEFINE_ABSTRACT_UNKNOWN()                                                 \
  STDMETHOD_(NTSTATUS, QueryInterface)(THIS_ REFIID InterfaceId, PVOID * Interface) PURE; \
  STDMETHOD_(ULONG, AddRef)(THIS) PURE;                                           \
  STDMETHOD_(ULONG, Release)(THIS) PURE;

typedef HRESULT(NTAPI *PFNCREATEINSTANCE)(PUNKNOWN *Unknown, REFCLSID ClassId, PUNKNOWN OuterUnknown,
                                          POOL_TYPE PoolType);

#endif
