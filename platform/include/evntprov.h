/* Host stand-in for the SDK's <evntprov.h>: user-mode event tracing for a
   provider (register, write a string, unregister). The lines written go to
   the captures of platform/win32/event_trace_host.h and, with
   USBAUDIO_TRACE set, to stderr. */
#ifndef USBAUDIO_PLATFORM_EVNTPROV_H
#define USBAUDIO_PLATFORM_EVNTPROV_H

#include <windows.h>

typedef ULONGLONG REGHANDLE, *PREGHANDLE;

typedef struct _EVENT_FILTER_DESCRIPTOR {
  ULONGLONG Ptr;
  ULONG Size;
  ULONG Type;
} EVENT_FILTER_DESCRIPTOR, *PEVENT_FILTER_DESCRIPTOR;

/* Called when a trace session enables or disables the provider. */
typedef VOID(NTAPI *PENABLECALLBACK)(LPCGUID SourceId, ULONG IsEnabled, UCHAR Level, ULONGLONG MatchAnyKeyword,
                                     ULONGLONG MatchAllKeyword, PEVENT_FILTER_DESCRIPTOR FilterData,
                                     PVOID CallbackContext);

USBAUDIO_BEGIN_C
ULONG WINAPI EventRegister(LPCGUID ProviderId, PENABLECALLBACK EnableCallback, PVOID CallbackContext,
                           PREGHANDLE RegHandle);
ULONG WINAPI EventUnregister(REGHANDLE RegHandle);
BOOLEAN WINAPI EventProviderEnabled(REGHANDLE RegHandle, UCHAR Level, ULONGLONG Keyword);
ULONG WINAPI EventWriteString(REGHANDLE RegHandle, UCHAR Level, ULONGLONG Keyword, PCWSTR String);
USBAUDIO_END_C

#endif
