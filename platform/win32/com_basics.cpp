// <objbase.h>: COM initialisation per thread, task memory and GUID strings.
// CoInitializeEx counts per thread: S_OK the first time, S_FALSE for a
// further call in the same concurrency model (it still needs its
// CoUninitialize), RPC_E_CHANGED_MODE for the other model (not counted).
#include <objbase.h>

#include <cstdlib>
#include <cstring>

namespace {

struct ComThreadState {
  unsigned count = 0;
  DWORD model = COINIT_APARTMENTTHREADED;
};

thread_local ComThreadState t_com;

constexpr int kGuidChars = 38;  // "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}"

void FormatGuid(const GUID& g, WCHAR* out) {
  static const char digits[] = "0123456789ABCDEF";
  unsigned char bytes[16];
  // Data1..Data3 print as numbers (most significant digit first), Data4 as bytes.
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<unsigned char>(g.Data1 >> (24 - 8 * i));
  bytes[4] = static_cast<unsigned char>(g.Data2 >> 8);
  bytes[5] = static_cast<unsigned char>(g.Data2);
  bytes[6] = static_cast<unsigned char>(g.Data3 >> 8);
  bytes[7] = static_cast<unsigned char>(g.Data3);
  memcpy(bytes + 8, g.Data4, 8);
  int n = 0;
  out[n++] = L'{';
  for (int i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) out[n++] = L'-';
    out[n++] = static_cast<WCHAR>(digits[bytes[i] >> 4]);
    out[n++] = static_cast<WCHAR>(digits[bytes[i] & 15]);
  }
  out[n++] = L'}';
  out[n] = 0;
}

int HexValue(WCHAR c) {
  if (c >= L'0' && c <= L'9') return c - L'0';
  if (c >= L'a' && c <= L'f') return c - L'a' + 10;
  if (c >= L'A' && c <= L'F') return c - L'A' + 10;
  return -1;
}

// The braced registry form only, exactly 38 characters.
bool ParseGuid(LPCOLESTR text, GUID* out) {
  for (int i = 0; i < kGuidChars; ++i)
    if (!text[i]) return false;
  if (text[kGuidChars] != 0 || text[0] != L'{' || text[kGuidChars - 1] != L'}') return false;
  unsigned char bytes[16];
  int pos = 1;
  for (int i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) {
      if (text[pos++] != L'-') return false;
    }
    int hi = HexValue(text[pos++]);
    int lo = HexValue(text[pos++]);
    if (hi < 0 || lo < 0) return false;
    bytes[i] = static_cast<unsigned char>(hi << 4 | lo);
  }
  out->Data1 = static_cast<ULONG>(bytes[0]) << 24 | static_cast<ULONG>(bytes[1]) << 16 | static_cast<ULONG>(bytes[2]) << 8 | bytes[3];
  out->Data2 = static_cast<USHORT>(bytes[4] << 8 | bytes[5]);
  out->Data3 = static_cast<USHORT>(bytes[6] << 8 | bytes[7]);
  memcpy(out->Data4, bytes + 8, 8);
  return true;
}

}  // namespace

USBAUDIO_BEGIN_C

HRESULT WINAPI CoInitialize(LPVOID pvReserved) { return CoInitializeEx(pvReserved, COINIT_APARTMENTTHREADED); }

HRESULT WINAPI CoInitializeEx(LPVOID pvReserved, DWORD dwCoInit) {
  if (pvReserved) return E_INVALIDARG;
  const DWORD model = dwCoInit & COINIT_APARTMENTTHREADED;
  if (t_com.count > 0) {
    if (t_com.model != model) return RPC_E_CHANGED_MODE;
    ++t_com.count;
    return S_FALSE;
  }
  t_com.count = 1;
  t_com.model = model;
  return S_OK;
}

// One call undoes one successful (S_OK or S_FALSE) initialisation; extra
// calls do nothing.
void WINAPI CoUninitialize(void) {
  if (t_com.count > 0) --t_com.count;
}

// A zero-byte request still yields a distinct block.
LPVOID WINAPI CoTaskMemAlloc(SIZE_T cb) { return malloc(cb ? cb : 1); }

void WINAPI CoTaskMemFree(LPVOID pv) { free(pv); }

HRESULT WINAPI StringFromCLSID(REFCLSID rclsid, LPOLESTR* lplpsz) {
  if (!lplpsz) return E_INVALIDARG;
  *lplpsz = static_cast<LPOLESTR>(CoTaskMemAlloc((kGuidChars + 1) * sizeof(WCHAR)));
  if (!*lplpsz) return E_OUTOFMEMORY;
  FormatGuid(rclsid, *lplpsz);
  return S_OK;
}

// The characters written including the terminator (39); 0 when cchMax is
// too small (nothing written).
int WINAPI StringFromGUID2(REFGUID rguid, LPOLESTR lpsz, int cchMax) {
  if (!lpsz || cchMax < kGuidChars + 1) return 0;
  FormatGuid(rguid, lpsz);
  return kGuidChars + 1;
}

// A null string is GUID_NULL (as on Windows); anything but the braced form
// is CO_E_CLASSSTRING (program ids are not looked up) and zeroes *pclsid.
HRESULT WINAPI CLSIDFromString(LPCOLESTR lpsz, LPCLSID pclsid) {
  if (!pclsid) return E_INVALIDARG;
  memset(pclsid, 0, sizeof *pclsid);
  if (!lpsz) return S_OK;
  GUID parsed;
  if (!ParseGuid(lpsz, &parsed)) return CO_E_CLASSSTRING;
  *pclsid = parsed;
  return S_OK;
}

USBAUDIO_END_C
