#include "kslib/ks_pin.h"

#include <cstring>

#include "kslib/ks_alloc.h"
#include "kslib/ks_create_pin.h"
#include "kslib/ks_filter.h"
#include "kslib/ks_ids.h"

using namespace kslib;

namespace {

// Validates a reply of fixed-size items: the count must fit the reply.
bool ItemsFit(const KSMULTIPLE_ITEM* reply, ULONG replySize, ULONG itemSize) {
  return reply->Count <= (replySize - sizeof(KSMULTIPLE_ITEM)) / itemSize;
}

// A data range is at least a KSDATARANGE and lies inside the reply; ranges
// follow each other 8-byte aligned, as KS hands them out.
ULONG CountFittingRanges(const KSMULTIPLE_ITEM* reply, ULONG replySize) {
  const BYTE* at = reinterpret_cast<const BYTE*>(reply) + sizeof(KSMULTIPLE_ITEM);
  ULONG left = replySize - sizeof(KSMULTIPLE_ITEM);
  ULONG fitting = 0;
  for (; fitting < reply->Count; ++fitting) {
    if (left < sizeof(KSDATARANGE)) break;
    ULONG formatSize = 0;
    std::memcpy(&formatSize, at, sizeof(formatSize));
    if (formatSize < sizeof(KSDATARANGE) || formatSize > left) break;
    ULONG step = (formatSize + 7u) & ~7u;
    if (step > left) step = left;
    at += step;
    left -= step;
  }
  return fitting;
}

}  // namespace

CKsPin::CKsPin(CKsFilter* filter, ULONG pinId, HRESULT* result) : m_pinId(pinId), m_filter(filter) {
  HRESULT hr = ReadPinDescription();
  if (result != nullptr) *result = hr;
}

CKsPin::~CKsPin() {
  ClosePin();
  FreeBlock(m_connect);
  FreeBlock(m_interfaceReply);
  FreeBlock(m_mediumReply);
  FreeBlock(m_dataRangeReply);
}

HRESULT CKsPin::ReadPinDescription() {
  if (m_filter == nullptr) return 1;
  bool allOk = true;
  KsPinDescription& d = m_description;
  DWORD bytes = 0;

  ULONG communication = 0;
  if (FAILED(m_filter->QueryPinValue(m_pinId, kPinCommunication, &communication, sizeof(ULONG), &bytes)) ||
      bytes != sizeof(ULONG)) {
    communication = 0;
    allOk = false;
  }
  d.communication = communication;

  ULONG size = 0;
  if (SUCCEEDED(m_filter->QueryPinList(m_pinId, kPinInterfaces, &m_interfaceReply, &size)) &&
      (m_interfaceReply == nullptr || ItemsFit(m_interfaceReply, size, sizeof(KSIDENTIFIER)))) {
    if (m_interfaceReply != nullptr) {
      d.interfaceCount = m_interfaceReply->Count;
      d.interfaces = reinterpret_cast<const KSIDENTIFIER*>(m_interfaceReply + 1);
    }
  } else {
    FreeBlock(m_interfaceReply);
    m_interfaceReply = nullptr;
    allOk = false;
  }

  if (SUCCEEDED(m_filter->QueryPinList(m_pinId, kPinMediums, &m_mediumReply, &size)) &&
      (m_mediumReply == nullptr || ItemsFit(m_mediumReply, size, sizeof(KSIDENTIFIER)))) {
    if (m_mediumReply != nullptr) {
      d.mediumCount = m_mediumReply->Count;
      d.mediums = reinterpret_cast<const KSIDENTIFIER*>(m_mediumReply + 1);
    }
  } else {
    FreeBlock(m_mediumReply);
    m_mediumReply = nullptr;
    allOk = false;
  }

  if (SUCCEEDED(m_filter->QueryPinList(m_pinId, kPinDataRanges, &m_dataRangeReply, &size))) {
    if (m_dataRangeReply != nullptr) {
      // Ranges up to the first that does not fit are kept; that one and
      // the rest cannot be stepped over.
      const ULONG fitting = CountFittingRanges(m_dataRangeReply, size);
      if (fitting != m_dataRangeReply->Count) allOk = false;
      d.dataRangeCount = fitting;
      d.dataRanges = reinterpret_cast<const KSDATARANGE*>(m_dataRangeReply + 1);
      m_dataRangeBytes = size - sizeof(KSMULTIPLE_ITEM);
    }
  } else {
    allOk = false;
  }

  ULONG flow = 0;
  if (FAILED(m_filter->QueryPinValue(m_pinId, kPinDataFlow, &flow, sizeof(ULONG), &bytes)) ||
      bytes != sizeof(ULONG)) {
    flow = 0;
    allOk = false;
  }
  d.dataFlow = flow;

  if (FAILED(m_filter->QueryPinValue(m_pinId, kPinCInstances, &d.instances, sizeof(KSPIN_CINSTANCES), &bytes)) ||
      bytes != sizeof(KSPIN_CINSTANCES)) {
    std::memset(&d.instances, 0, sizeof(d.instances));
    allOk = false;
  }
  if (FAILED(m_filter->QueryPinValue(m_pinId, kPinGlobalCInstances, &d.globalInstances, sizeof(KSPIN_CINSTANCES),
                                     &bytes)) ||
      bytes != sizeof(KSPIN_CINSTANCES)) {
    std::memset(&d.globalInstances, 0, sizeof(d.globalInstances));
    allOk = false;
  }
  if (FAILED(m_filter->QueryPinValue(m_pinId, kPinCategory, &m_category, sizeof(GUID), &bytes)) ||
      bytes != sizeof(GUID)) {
    std::memset(&m_category, 0, sizeof(m_category));
    allOk = false;
  }

  // One byte less than the field, and the field always ends in a NUL, so a
  // name without a terminator is cut, never read past.
  if (FAILED(m_filter->QueryPinValue(m_pinId, kPinName, m_name, sizeof(m_name) - 1, &bytes))) {
    bytes = 0;
    allOk = false;
  }
  BYTE* name = reinterpret_cast<BYTE*>(m_name);
  std::memset(name + bytes, 0, sizeof(m_name) - bytes);
  m_name[kNameChars - 1] = 0;

  return allOk ? 0 : 1;
}

HRESULT CKsPin::ConnectPin(BOOL looped) {
  if (m_connect == nullptr) return S_OK;
  if (m_filter == nullptr) return E_FAIL;
  if (IsOpen()) {
    // A second connect replaces the first pin instance.
    ChangeState(KSSTATE_STOP);
    Close();
  }
  m_connect->Interface.Id = looped ? kInterfaceStandardLoopedStreaming : kInterfaceStandardStreaming;
  m_looped = looped ? 1 : 0;
  HANDLE pinHandle = INVALID_HANDLE_VALUE;
  const DWORD error = CallKsCreatePin(m_filter->Handle(), m_connect, GENERIC_READ | GENERIC_WRITE, &pinHandle);
  if (error != 0) return HresultFromWin32(error);
  m_handle = pinHandle;
  m_state = KSSTATE_STOP;
  return S_OK;
}

HRESULT CKsPin::ChangeState(KSSTATE state) {
  if (!IsOpen()) return E_FAIL;
  ULONG value = static_cast<ULONG>(state);
  HRESULT hr = ApplyValue(kPropSetConnection, kConnectionState, &value, sizeof(value));
  if (SUCCEEDED(hr)) m_state = state;
  return hr;
}

HRESULT CKsPin::ReadState(KSSTATE* state) {
  if (state == nullptr) return E_INVALIDARG;
  if (!IsOpen()) return E_FAIL;
  ULONG value = 0;
  DWORD bytes = 0;
  HRESULT hr = QueryValue(kPropSetConnection, kConnectionState, &value, sizeof(value), nullptr, 0, &bytes);
  if (SUCCEEDED(hr) && (bytes != sizeof(value) || value > KSSTATE_RUN)) hr = E_FAIL;
  if (SUCCEEDED(hr)) *state = static_cast<KSSTATE>(value);
  return hr;
}

HRESULT CKsPin::ClosePin() {
  if (IsOpen()) {
    ChangeState(KSSTATE_STOP);
    Close();
  }
  m_state = KSSTATE_STOP;
  if (m_quickEvent != nullptr) ::CloseHandle(m_quickEvent);
  m_quickEvent = nullptr;
  return S_OK;
}

HRESULT CKsPin::PrepareQuickRequests() {
  if (!IsOpen()) return E_FAIL;
  if (m_quickEvent != nullptr) return S_OK;
  m_quickEvent = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
  return m_quickEvent != nullptr ? S_OK : E_OUTOFMEMORY;
}

HRESULT CKsPin::ApplyQuickValue(const GUID& set, ULONG id, void* value, ULONG valueSize) {
  if (m_quickEvent == nullptr || !IsOpen()) return E_FAIL;
  KSPROPERTY property;
  std::memset(&property, 0, sizeof(property));
  property.Set = set;
  property.Id = id;
  property.Flags = kPropertySet;
  return IssueIoctlWith(m_quickEvent, kIoctlKsProperty, &property, sizeof(property), value, valueSize, nullptr);
}
