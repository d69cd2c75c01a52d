#include "kslib/ks_irp_target.h"

#include <cstring>

#include "kslib/ks_alloc.h"
#include "kslib/ks_ids.h"

using namespace kslib;

namespace {

// Larger list replies than this are a broken size report, not a reply.
constexpr DWORD kMaxListReplyBytes = 16u * 1024u * 1024u;

// The result of a request the kernel failed with `error`: a size query
// (KS property, no output buffer) answered "more data" is a success.
HRESULT FailedRequestResult(DWORD code, DWORD outSize, DWORD error, DWORD* bytes) {
  if ((error == ERROR_INSUFFICIENT_BUFFER || error == ERROR_MORE_DATA) && code == kIoctlKsProperty && outSize == 0) {
    return S_OK;
  }
  *bytes = 0;
  return E_FAIL;
}

}  // namespace

CKsIrpTarget::~CKsIrpTarget() { Close(); }

void CKsIrpTarget::Close() {
  if (IsOpen()) ::CloseHandle(m_handle);
  m_handle = INVALID_HANDLE_VALUE;
}

HRESULT CKsIrpTarget::IssueIoctl(DWORD code, void* in, DWORD inSize, void* out, DWORD outSize,
                                 DWORD* bytesReturned) {
  DWORD localBytes = 0;
  DWORD* bytes = bytesReturned != nullptr ? bytesReturned : &localBytes;
  *bytes = 0;
  if (!IsOpen()) return E_FAIL;

  HANDLE event = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
  if (event == nullptr) return E_OUTOFMEMORY;
  const HRESULT hr = IssueIoctlWith(event, code, in, inSize, out, outSize, bytes);
  ::CloseHandle(event);
  return hr;
}

HRESULT CKsIrpTarget::IssueIoctlWith(HANDLE event, DWORD code, void* in, DWORD inSize, void* out, DWORD outSize,
                                     DWORD* bytesReturned) {
  DWORD localBytes = 0;
  DWORD* bytes = bytesReturned != nullptr ? bytesReturned : &localBytes;
  *bytes = 0;
  if (!IsOpen()) return E_FAIL;
  if (event == nullptr) return E_INVALIDARG;
  OVERLAPPED overlapped;
  std::memset(&overlapped, 0, sizeof(overlapped));
  // The low bit keeps a completion port from getting a packet for this request.
  overlapped.hEvent = reinterpret_cast<HANDLE>(reinterpret_cast<ULONG_PTR>(event) | 1);

  HRESULT hr = S_OK;
  if (!::DeviceIoControl(m_handle, code, in, inSize, out, outSize, bytes, &overlapped)) {
    DWORD error = ::GetLastError();
    if (error == ERROR_IO_PENDING) {
      // The wait only says the request ended; its status and byte count
      // come from the completed request.
      if (::WaitForSingleObject(event, INFINITE) != WAIT_OBJECT_0) {
        *bytes = 0;
        hr = E_FAIL;
      } else if (!::GetOverlappedResult(m_handle, &overlapped, bytes, FALSE)) {
        hr = FailedRequestResult(code, outSize, ::GetLastError(), bytes);
      }
    } else {
      hr = FailedRequestResult(code, outSize, error, bytes);
    }
  }
  // A reply never holds more than its buffer, whatever the kernel reports.
  if (SUCCEEDED(hr) && outSize != 0 && *bytes > outSize) *bytes = outSize;
  return hr;
}

HRESULT CKsIrpTarget::PropertyRequest(const GUID& set, ULONG id, ULONG flags, void* data, ULONG dataSize,
                                      const void* extra, ULONG extraSize, DWORD* bytesReturned) {
  if (bytesReturned != nullptr) *bytesReturned = 0;
  if (!IsOpen()) return E_FAIL;
  const ULONG requestSize = sizeof(KSPROPERTY) + extraSize;
  BYTE* request = AllocateBlock(requestSize);
  if (request == nullptr) return E_OUTOFMEMORY;
  KSPROPERTY* property = reinterpret_cast<KSPROPERTY*>(request);
  property->Set = set;
  property->Id = id;
  property->Flags = flags;
  if (extra != nullptr && extraSize != 0) std::memcpy(request + sizeof(KSPROPERTY), extra, extraSize);
  HRESULT hr = IssueIoctl(kIoctlKsProperty, request, requestSize, data, dataSize, bytesReturned);
  FreeBlock(request);
  return hr;
}

HRESULT CKsIrpTarget::QueryValue(const GUID& set, ULONG id, void* out, ULONG outSize, const void* extra,
                                 ULONG extraSize, DWORD* bytesReturned) {
  return PropertyRequest(set, id, kPropertyGet, out, outSize, extra, extraSize, bytesReturned);
}

HRESULT CKsIrpTarget::ApplyValue(const GUID& set, ULONG id, void* value, ULONG valueSize, const void* extra,
                                 ULONG extraSize) {
  return PropertyRequest(set, id, kPropertySet, value, valueSize, extra, extraSize, nullptr);
}

HRESULT CKsIrpTarget::QueryList(const GUID& set, ULONG id, KSMULTIPLE_ITEM** list, ULONG* listSize) {
  if (list != nullptr) *list = nullptr;
  if (listSize != nullptr) *listSize = 0;
  if (list == nullptr) return E_INVALIDARG;
  if (!IsOpen()) return E_FAIL;
  KSPROPERTY* property = reinterpret_cast<KSPROPERTY*>(AllocateBlock(sizeof(KSPROPERTY)));
  if (property == nullptr) return E_OUTOFMEMORY;
  property->Set = set;
  property->Id = id;
  property->Flags = kPropertyGet;
  HRESULT hr = QueryListWith(property, sizeof(KSPROPERTY), list, listSize);
  FreeBlock(property);
  return hr;
}

HRESULT CKsIrpTarget::QueryListWith(void* request, ULONG requestSize, KSMULTIPLE_ITEM** list, ULONG* listSize) {
  *list = nullptr;
  if (listSize != nullptr) *listSize = 0;
  DWORD needed = 0;
  HRESULT hr = IssueIoctl(kIoctlKsProperty, request, requestSize, nullptr, 0, &needed);
  if (FAILED(hr)) return hr;
  if (needed == 0) return S_OK;
  if (needed < sizeof(KSMULTIPLE_ITEM) || needed > kMaxListReplyBytes) return E_FAIL;

  BYTE* block = AllocateBlock(needed);
  if (block == nullptr) return E_OUTOFMEMORY;
  DWORD got = 0;
  hr = IssueIoctl(kIoctlKsProperty, request, requestSize, block, needed, &got);
  // The reply must hold its header, and the header's total must lie within it.
  KSMULTIPLE_ITEM* header = reinterpret_cast<KSMULTIPLE_ITEM*>(block);
  if (SUCCEEDED(hr) &&
      (got < sizeof(KSMULTIPLE_ITEM) || header->Size < sizeof(KSMULTIPLE_ITEM) || header->Size > got)) {
    hr = E_FAIL;
  }
  if (FAILED(hr)) {
    FreeBlock(block);
    return hr;
  }
  *list = header;
  if (listSize != nullptr) *listSize = header->Size;
  return S_OK;
}
