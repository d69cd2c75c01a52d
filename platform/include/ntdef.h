/* Basic NT types and helper macros with Windows x64 (LLP64) sizes:
   LONG/ULONG are 32-bit, pointers and *_PTR types 64-bit, WCHAR is UTF-16
   (the host build uses -fshort-wchar). */
#ifndef USBAUDIO_PLATFORM_NTDEF_H
#define USBAUDIO_PLATFORM_NTDEF_H

#include <stddef.h>
#include <stdarg.h>
#include <string.h>
#include <sal.h>
#include <driverspecs.h>

#if !defined(__SIZEOF_WCHAR_T__) || __SIZEOF_WCHAR_T__ != 2
#error "the host build needs -fshort-wchar (WCHAR must be UTF-16)"
#endif

/* Calling conventions and storage classes: meaningless on the host. */
#ifndef __stdcall
#define __stdcall
#endif
#ifndef __cdecl
#define __cdecl
#endif
#define NTAPI
#define NTAPI_INLINE
#define WINAPI
#define FASTCALL
#define NTKERNELAPI
#define NTHALAPI
#define NTSYSAPI
#define NTSYSCALLAPI
#define DECLSPEC_IMPORT
#define DECLSPEC_EXPORT
#define _DECL_HAL_KE_IMPORT
#define DECLSPEC_NORETURN __attribute__((noreturn))
#define DECLSPEC_NOINLINE __attribute__((noinline))
#define DECLSPEC_ALIGN(x) __attribute__((__aligned__(x)))
#define DECLSPEC_SELECTANY __attribute__((weak))
#define SYSTEM_CACHE_ALIGNMENT_SIZE 64
#define DECLSPEC_CACHEALIGN DECLSPEC_ALIGN(SYSTEM_CACHE_ALIGNMENT_SIZE)
#define FORCEINLINE static inline __attribute__((always_inline))
#define RESTRICTED_POINTER
#define UNALIGNED
#define POINTER_ALIGNMENT DECLSPEC_ALIGN(8)
#define CONST const
#define IN
#define OUT
#define OPTIONAL
#define _ANONYMOUS_UNION
#define _ANONYMOUS_STRUCT
#define DUMMYUNIONNAME
#define DUMMYUNIONNAME2
#define DUMMYUNIONNAME3
#define DUMMYUNIONNAME4
#define DUMMYUNIONNAME5
#define DUMMYUNIONNAME6
#define DUMMYSTRUCTNAME
#define DUMMYSTRUCTNAME2

#ifndef EXTERN_C
#ifdef __cplusplus
#define EXTERN_C extern "C"
#else
#define EXTERN_C extern
#endif
#endif

#ifdef __cplusplus
#define USBAUDIO_BEGIN_C extern "C" {
#define USBAUDIO_END_C }
#else
#define USBAUDIO_BEGIN_C
#define USBAUDIO_END_C
#endif

/* Integer types. */
#define VOID void
typedef void *PVOID, **PPVOID;
typedef const void *PCVOID;
typedef char CHAR, *PCHAR, *PSTR, *LPSTR, CCHAR, *PCCHAR;
typedef const char *PCSTR, *LPCSTR, *PCSZ;
typedef unsigned char UCHAR, *PUCHAR, BYTE, *PBYTE;
typedef const unsigned char *PCUCHAR;
typedef short SHORT, *PSHORT, CSHORT;
typedef unsigned short USHORT, *PUSHORT, WORD, *PWORD;
typedef int INT, *PINT;
typedef unsigned int UINT, *PUINT;
typedef int LONG, *PLONG;
typedef unsigned int ULONG, *PULONG, DWORD, *PDWORD;
typedef const ULONG *PCULONG;
typedef long long LONGLONG, *PLONGLONG, LONG64, *PLONG64, INT64, *PINT64;
typedef unsigned long long ULONGLONG, *PULONGLONG, ULONG64, *PULONG64,
    DWORD64, *PDWORD64, UINT64, *PUINT64;
typedef long long LONG_PTR, *PLONG_PTR, INT_PTR, *PINT_PTR, SSIZE_T, *PSSIZE_T;
typedef unsigned long long ULONG_PTR, *PULONG_PTR, UINT_PTR, *PUINT_PTR,
    SIZE_T, *PSIZE_T, DWORD_PTR, *PDWORD_PTR;
typedef signed char SCHAR, *PSCHAR;
typedef UCHAR BOOLEAN, *PBOOLEAN;
typedef int BOOL;
typedef wchar_t WCHAR, *PWCHAR, *PWSTR, *LPWSTR, *PWCH;
typedef const wchar_t *PCWCH, *PCWSTR, *LPCWSTR;
typedef LONG NTSTATUS, *PNTSTATUS;
typedef PVOID HANDLE, *PHANDLE;
typedef ULONG LOGICAL, *PLOGICAL;
typedef ULONG ACCESS_MASK, *PACCESS_MASK;
typedef ULONG LCID;
typedef ULONG SECURITY_INFORMATION;
typedef ULONG_PTR KAFFINITY;

#define TRUE 1
#define FALSE 0
#define ANYSIZE_ARRAY 1
#define MAXLONG 0x7fffffff
#define MAXULONG 0xffffffff
#define MAXUSHORT 0xffff
#define MAXUCHAR 0xff
#define MAXLONGLONG (0x7fffffffffffffffLL)

typedef union _LARGE_INTEGER {
  struct {
    ULONG LowPart;
    LONG HighPart;
  } DUMMYSTRUCTNAME;
  struct {
    ULONG LowPart;
    LONG HighPart;
  } u;
  LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;

typedef union _ULARGE_INTEGER {
  struct {
    ULONG LowPart;
    ULONG HighPart;
  } DUMMYSTRUCTNAME;
  struct {
    ULONG LowPart;
    ULONG HighPart;
  } u;
  ULONGLONG QuadPart;
} ULARGE_INTEGER, *PULARGE_INTEGER;

typedef LARGE_INTEGER PHYSICAL_ADDRESS, *PPHYSICAL_ADDRESS;

typedef struct _UNICODE_STRING {
  USHORT Length;
  USHORT MaximumLength;
  PWSTR Buffer;
} UNICODE_STRING, *PUNICODE_STRING;
typedef const UNICODE_STRING *PCUNICODE_STRING;

/* Names of objects to open or create (registry keys, devices). */
typedef struct _OBJECT_ATTRIBUTES {
  ULONG Length;
  HANDLE RootDirectory;
  PUNICODE_STRING ObjectName;
  ULONG Attributes;
  PVOID SecurityDescriptor;
  PVOID SecurityQualityOfService;
} OBJECT_ATTRIBUTES, *POBJECT_ATTRIBUTES;
typedef CONST OBJECT_ATTRIBUTES *PCOBJECT_ATTRIBUTES;

#define OBJ_INHERIT 0x00000002L
#define OBJ_PERMANENT 0x00000010L
#define OBJ_EXCLUSIVE 0x00000020L
#define OBJ_CASE_INSENSITIVE 0x00000040L
#define OBJ_OPENIF 0x00000080L
#define OBJ_OPENLINK 0x00000100L
#define OBJ_KERNEL_HANDLE 0x00000200L

#define InitializeObjectAttributes(p, n, a, r, s) \
  do {                                           \
    (p)->Length = sizeof(OBJECT_ATTRIBUTES);     \
    (p)->RootDirectory = (r);                    \
    (p)->Attributes = (a);                       \
    (p)->ObjectName = (n);                       \
    (p)->SecurityDescriptor = (s);               \
    (p)->SecurityQualityOfService = NULL;        \
  } while (0)

typedef struct _STRING {
  USHORT Length;
  USHORT MaximumLength;
  PCHAR Buffer;
} STRING, *PSTRING, ANSI_STRING, *PANSI_STRING;
typedef const STRING *PCSTRING, *PCANSI_STRING;

typedef struct _LIST_ENTRY {
  struct _LIST_ENTRY *Flink;
  struct _LIST_ENTRY *Blink;
} LIST_ENTRY, *PLIST_ENTRY, *RESTRICTED_POINTER PRLIST_ENTRY;

typedef struct _SINGLE_LIST_ENTRY {
  struct _SINGLE_LIST_ENTRY *Next;
} SINGLE_LIST_ENTRY, *PSINGLE_LIST_ENTRY;

typedef struct DECLSPEC_ALIGN(16) _SLIST_ENTRY {
  struct _SLIST_ENTRY *Next;
} SLIST_ENTRY, *PSLIST_ENTRY;

typedef union DECLSPEC_ALIGN(16) _SLIST_HEADER {
  struct {
    ULONGLONG Alignment;
    ULONGLONG Region;
  } DUMMYSTRUCTNAME;
  struct {
    ULONGLONG Depth : 16;
    ULONGLONG Sequence : 48;
    ULONGLONG Reserved : 4;
    ULONGLONG NextEntry : 60;
  } HeaderX64;
} SLIST_HEADER, *PSLIST_HEADER;

typedef enum _EVENT_TYPE {
  NotificationEvent,
  SynchronizationEvent
} EVENT_TYPE;

typedef enum _TIMER_TYPE {
  NotificationTimer,
  SynchronizationTimer
} TIMER_TYPE;

typedef enum _WAIT_TYPE {
  WaitAll,
  WaitAny,
  WaitNotification,
  WaitDequeue
} WAIT_TYPE;

/* Helper macros. */
#define FIELD_OFFSET(Type, Field) ((LONG)__builtin_offsetof(Type, Field))
#define RTL_FIELD_SIZE(type, field) (sizeof(((type *)0)->field))
#define RTL_SIZEOF_THROUGH_FIELD(type, field) \
  (FIELD_OFFSET(type, field) + RTL_FIELD_SIZE(type, field))
#define RTL_NUMBER_OF(A) (sizeof(A) / sizeof((A)[0]))
#define ARRAYSIZE(A) RTL_NUMBER_OF(A)
/* offsetof rather than the SDK's null-pointer form, which sanitizers report. */
#define CONTAINING_RECORD(address, type, field) \
  ((type *)(((ULONG_PTR)(address)) - (ULONG_PTR)__builtin_offsetof(type, field)))
#define TYPE_ALIGNMENT(t) __alignof__(t)
#define ARGUMENT_PRESENT(p) ((CHAR *)((ULONG_PTR)(p)) != (CHAR *)NULL)
#define UNREFERENCED_PARAMETER(P) {(P) = (P);}
#define UNREFERENCED_LOCAL_VARIABLE(L) {(L) = (L);}
#define DBG_UNREFERENCED_PARAMETER(P) (P)
#define DBG_UNREFERENCED_LOCAL_VARIABLE(L) (L)
#define C_ASSERT(e) typedef char __C_ASSERT__[(e) ? 1 : -1] __attribute__((unused))
#define NT_SUCCESS(Status) (((NTSTATUS)(Status)) >= 0)
#define NT_INFORMATION(Status) ((((ULONG)(Status)) >> 30) == 1)
#define NT_WARNING(Status) ((((ULONG)(Status)) >> 30) == 2)
#define NT_ERROR(Status) ((((ULONG)(Status)) >> 30) == 3)
#define MAKELONG(a, b) ((LONG)(((USHORT)(a)) | ((ULONG)((USHORT)(b))) << 16))
#define LOWORD(l) ((USHORT)((ULONG_PTR)(l) & 0xffff))
#define HIWORD(l) ((USHORT)(((ULONG_PTR)(l) >> 16) & 0xffff))
#define LOBYTE(w) ((UCHAR)((ULONG_PTR)(w) & 0xff))
#define HIBYTE(w) ((UCHAR)(((ULONG_PTR)(w) >> 8) & 0xff))

#endif
