/* GUID type and DEFINE_GUID. As in the SDK, the part below the include
   guard is evaluated on every inclusion: DEFINE_GUID defines the GUID when
   <initguid.h> (which sets INITGUID) came first, and only declares it
   otherwise. */
#ifndef USBAUDIO_PLATFORM_GUIDDEF_TYPES
#define USBAUDIO_PLATFORM_GUIDDEF_TYPES

#include <string.h>

typedef struct _GUID {
  unsigned int Data1;
  unsigned short Data2;
  unsigned short Data3;
  unsigned char Data4[8];
} GUID;

typedef GUID *LPGUID;
typedef const GUID *LPCGUID;
typedef GUID IID;
typedef IID *LPIID;
typedef GUID CLSID;
typedef CLSID *LPCLSID;

#ifdef __cplusplus
#define REFGUID const GUID &
#define REFIID const IID &
#define REFCLSID const IID &
#else
#define REFGUID const GUID *
#define REFIID const IID *
#define REFCLSID const IID *
#endif

#ifndef EXTERN_C
#ifdef __cplusplus
#define EXTERN_C extern "C"
#else
#define EXTERN_C extern
#endif
#endif

#ifdef __cplusplus
extern "C++" {
inline int InlineIsEqualGUID(REFGUID a, REFGUID b) {
  return a.Data1 == b.Data1 && a.Data2 == b.Data2 && a.Data3 == b.Data3 &&
         memcmp(a.Data4, b.Data4, sizeof(a.Data4)) == 0;
}
inline int IsEqualGUID(REFGUID a, REFGUID b) { return !memcmp(&a, &b, sizeof(GUID)); }
inline bool operator==(REFGUID a, REFGUID b) { return IsEqualGUID(a, b) != 0; }
inline bool operator!=(REFGUID a, REFGUID b) { return !(a == b); }
}
#else
#define InlineIsEqualGUID(a, b) (!memcmp((a), (b), sizeof(GUID)))
#define IsEqualGUID(a, b) (!memcmp((a), (b), sizeof(GUID)))
#endif
#define IsEqualIID(a, b) IsEqualGUID(a, b)
#define IsEqualCLSID(a, b) IsEqualGUID(a, b)

#endif /* USBAUDIO_PLATFORM_GUIDDEF_TYPES */

#ifdef DEFINE_GUID
#undef DEFINE_GUID
#endif

#ifdef INITGUID
/* Weak, like __declspec(selectany): several translation units may define. */
#define DEFINE_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) \
  EXTERN_C const GUID __attribute__((weak)) name = {l, w1, w2, {b1, b2, b3, b4, b5, b6, b7, b8}}
#else
#define DEFINE_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) EXTERN_C const GUID name
#endif
