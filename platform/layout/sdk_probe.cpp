// The user-mode twin of ddk_probe.cpp, compiled twice by check_sdk_layout.py:
// natively against platform/include (prints every probed value) and with
// mingw-w64 against the real SDK headers (each value a static_assert; each
// declared function must convert to a pointer of our declared type).
#include <windows.h>
#include <mmsystem.h>
#include <commctrl.h>
#include <cpl.h>
#include <setupapi.h>
#include <cfgmgr32.h>
#include <dbt.h>
#include <avrt.h>
#include <objbase.h>
#include <strsafe.h>
#include <evntprov.h>
#include <stddef.h>

#ifdef SDK_PROBE_VERIFY
#define CHECK(expr, value) static_assert((long long)(expr) == (long long)(value##LL), #expr);
#include "sdk_expected.inc"
#define SIG(ret, name, args) [[maybe_unused]] static ret(WINAPI *const sig_##name) args = name;
#include "sdk_signatures.inc"
#else
#include <stdio.h>
#define P(expr) printf("CHECK((%s), %lld)\n", #expr, (long long)(expr));
#define SZ(T) P(sizeof(T)) P(alignof(T))
#define OFF(T, f) P(offsetof(T, f))
int main() {
#include "sdk_probe_items.inc"
  return 0;
}
#endif
