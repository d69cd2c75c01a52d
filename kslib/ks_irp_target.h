// The user-mode end of one kernel-streaming object (a filter or a pin): its
// handle, opened for overlapped I/O, and the synchronous property requests
// sent through it with DeviceIoControl.
#pragma once

#include "kslib/user_prelude.h"

class CKsIrpTarget {
 public:
  CKsIrpTarget() = default;
  ~CKsIrpTarget();  // closes the handle
  CKsIrpTarget(const CKsIrpTarget&) = delete;
  CKsIrpTarget& operator=(const CKsIrpTarget&) = delete;

  HANDLE Handle() const { return m_handle; }
  // Open: neither null nor INVALID_HANDLE_VALUE.
  bool IsOpen() const { return m_handle != nullptr && m_handle != INVALID_HANDLE_VALUE; }
  void Close();

  // One synchronous DeviceIoControl; *bytesReturned (optional) gets the
  // reply's byte count (0 on failure). E_FAIL on a closed handle.
  HRESULT IssueIoctl(DWORD code, void* in, DWORD inSize, void* out, DWORD outSize, DWORD* bytesReturned = nullptr);
  // The same request completed through `event` (an auto-reset event the
  // caller made and keeps): allocates nothing.
  HRESULT IssueIoctlWith(HANDLE event, DWORD code, void* in, DWORD inSize, void* out, DWORD outSize,
                         DWORD* bytesReturned = nullptr);

  // KSPROPERTY GET of (set, id) followed by the extra input bytes.
  HRESULT QueryValue(const GUID& set, ULONG id, void* out, ULONG outSize, const void* extra = nullptr,
                     ULONG extraSize = 0, DWORD* bytesReturned = nullptr);
  // KSPROPERTY SET; the value travels as the request's output buffer.
  HRESULT ApplyValue(const GUID& set, ULONG id, void* value, ULONG valueSize, const void* extra = nullptr,
                     ULONG extraSize = 0);
  // Two-step GET of a KSMULTIPLE_ITEM reply. *list is null for an empty
  // reply; otherwise the caller frees it with kslib::FreeBlock. *listSize
  // (optional) gets the bytes the reply holds, never more than the block.
  HRESULT QueryList(const GUID& set, ULONG id, KSMULTIPLE_ITEM** list, ULONG* listSize = nullptr);

 protected:
  // A KSPROPERTY request (set, id, flags) followed by the extra input bytes;
  // `data` is the request's output buffer (the value of a GET or a SET).
  HRESULT PropertyRequest(const GUID& set, ULONG id, ULONG flags, void* data, ULONG dataSize, const void* extra,
                          ULONG extraSize, DWORD* bytesReturned);
  // The two-step query for any request block (used by the filter's pin queries).
  HRESULT QueryListWith(void* request, ULONG requestSize, KSMULTIPLE_ITEM** list, ULONG* listSize);

  HANDLE m_handle = INVALID_HANDLE_VALUE;
};
