/* Host stand-in for the SDK's <basetyps.h>: the macros that declare COM
   interfaces (C++ only), as the kernel-mode COM of the port library uses
   them. On the host calling conventions are empty. The SDK's `interface`
   keyword macro is deliberately not defined: host code may use the word as
   an identifier, and DECLARE_INTERFACE does not need it. */
#ifndef USBAUDIO_PLATFORM_BASETYPS_H
#define USBAUDIO_PLATFORM_BASETYPS_H

#include <guiddef.h>

#ifndef _HRESULT_DEFINED
#define _HRESULT_DEFINED
typedef int HRESULT; /* 32-bit, as LONG */
#endif

#ifndef DECLSPEC_NOVTABLE
#define DECLSPEC_NOVTABLE
#endif
#ifndef DECLSPEC_NOTHROW
#define DECLSPEC_NOTHROW
#endif

#define STDMETHODCALLTYPE
#define STDMETHODVCALLTYPE
#define STDAPICALLTYPE
#define STDAPIVCALLTYPE

#define STDAPI EXTERN_C HRESULT STDAPICALLTYPE
#define STDAPI_(type) EXTERN_C type STDAPICALLTYPE
#define STDMETHODIMP HRESULT STDMETHODCALLTYPE
#define STDMETHODIMP_(type) type STDMETHODCALLTYPE

#ifdef __cplusplus
#define STDMETHOD(method) virtual HRESULT STDMETHODCALLTYPE method
#define STDMETHOD_(type, method) virtual type STDMETHODCALLTYPE method
#define PURE = 0
#define THIS_
#define THIS void
#define DECLARE_INTERFACE(iface) struct DECLSPEC_NOVTABLE iface
#define DECLARE_INTERFACE_(iface, baseiface) struct DECLSPEC_NOVTABLE iface : public baseiface
#endif

#endif
