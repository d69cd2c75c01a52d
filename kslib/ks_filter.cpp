#include "kslib/ks_filter.h"

#include <cstring>

#include "kslib/ks_alloc.h"
#include "kslib/ks_ids.h"
#include "kslib/ks_pin.h"

using namespace kslib;

CKsFilter::CKsFilter(LPCWSTR devicePath, HRESULT* result) {
  HRESULT hr = S_OK;
  if (devicePath == nullptr) {
    hr = E_INVALIDARG;
  } else {
    ULONG i = 0;
    for (; i + 1 < kPathChars && devicePath[i] != 0; ++i) m_devicePath[i] = devicePath[i];
    m_devicePath[i] = 0;
  }
  if (result != nullptr) *result = hr;
}

CKsFilter::~CKsFilter() {
  // Pins close their handles before the filter handle goes.
  CKsFilter::ReleaseLists();
  Close();
}

HRESULT CKsFilter::OpenDevice() {
  Close();
  HANDLE handle = ::CreateFileW(m_devicePath, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return E_FAIL;
  m_handle = handle;
  return S_OK;
}

HRESULT CKsFilter::ReleaseLists() {
  m_nodes.DeleteAll();
  DestroyPins();
  return S_OK;
}

void CKsFilter::ClearRoleLists() {
  m_renderSinkPins.Clear();
  m_outSourcePins.Clear();
  m_captureSinkPins.Clear();
  m_inSourcePins.Clear();
  m_noCommunicationPins.Clear();
}

void CKsFilter::DestroyPins() {
  ClearRoleLists();
  m_pins.DeleteAll();
}

HRESULT CKsFilter::QueryPinValue(ULONG pinId, ULONG propertyId, void* out, ULONG outSize, DWORD* bytesReturned) {
  if (bytesReturned != nullptr) *bytesReturned = 0;
  if (!IsOpen()) return E_FAIL;
  KSP_PIN* request = reinterpret_cast<KSP_PIN*>(AllocateBlock(sizeof(KSP_PIN)));
  if (request == nullptr) return E_OUTOFMEMORY;
  request->Property.Set = kPropSetPin;
  request->Property.Id = propertyId;
  request->Property.Flags = kPropertyGet;
  request->PinId = pinId;
  request->Reserved = 0;
  HRESULT hr = IssueIoctl(kIoctlKsProperty, request, sizeof(KSP_PIN), out, outSize, bytesReturned);
  FreeBlock(request);
  return hr;
}

HRESULT CKsFilter::QueryPinList(ULONG pinId, ULONG propertyId, KSMULTIPLE_ITEM** list, ULONG* listSize) {
  if (list != nullptr) *list = nullptr;
  if (listSize != nullptr) *listSize = 0;
  if (list == nullptr) return E_INVALIDARG;
  if (!IsOpen()) return E_FAIL;
  KSP_PIN* request = reinterpret_cast<KSP_PIN*>(AllocateBlock(sizeof(KSP_PIN)));
  if (request == nullptr) return E_OUTOFMEMORY;
  request->Property.Set = kPropSetPin;
  request->Property.Id = propertyId;
  request->Property.Flags = kPropertyGet;
  request->PinId = pinId;
  request->Reserved = 0;
  HRESULT hr = QueryListWith(request, sizeof(KSP_PIN), list, listSize);
  FreeBlock(request);
  return hr;
}

HRESULT CKsFilter::LoadNodes() {
  m_nodes.DeleteAll();
  KSMULTIPLE_ITEM* reply = nullptr;
  ULONG replySize = 0;
  HRESULT hr = QueryList(kPropSetTopology, kTopologyNodes, &reply, &replySize);
  if (FAILED(hr)) return hr;
  if (reply == nullptr) return S_OK;
  // Only the GUIDs the reply really holds are read.
  const ULONG fit = (replySize - sizeof(KSMULTIPLE_ITEM)) / sizeof(GUID);
  if (reply->Count > fit) {
    FreeBlock(reply);
    return E_FAIL;
  }
  const BYTE* types = reinterpret_cast<const BYTE*>(reply) + sizeof(KSMULTIPLE_ITEM);
  for (ULONG i = 0; i < reply->Count; ++i) {
    NodeRecord* node = New<NodeRecord>();
    if (node == nullptr) continue;
    node->id = i;
    std::memcpy(node->tag, "NONE", 4);
    std::memcpy(&node->type, types + i * sizeof(GUID), sizeof(GUID));
    if (!m_nodes.Append(node)) delete node;
  }
  hr = m_nodes.Count() == reply->Count ? S_OK : E_FAIL;
  if (FAILED(hr)) m_nodes.DeleteAll();
  FreeBlock(reply);
  return hr;
}

HRESULT CKsFilter::LoadPins() {
  DestroyPins();
  ULONG count = 0;
  DWORD bytes = 0;
  if (SUCCEEDED(QueryPinValue(0, kPinCTypes, &count, sizeof(count), &bytes)) && bytes == sizeof(count)) {
    if (count > kMaxPinCount) {
      ::OutputDebugStringW(L"CKsFilter::LoadPins() / pin count refused: more than 256\n");
      count = 0;
    }
    for (ULONG id = 0; id < count; ++id) {
      HRESULT pinResult = S_OK;
      CKsPin* pin = New<CKsPin>(this, id, &pinResult);
      if (pin == nullptr) continue;
      if (FAILED(pinResult) || !m_pins.Append(pin)) delete pin;
    }
  }
  HRESULT hr = SortPins();
  if (FAILED(hr)) return hr;
  return (!m_renderSinkPins.Empty() || !m_outSourcePins.Empty() || !m_captureSinkPins.Empty() ||
          !m_inSourcePins.Empty() || !m_noCommunicationPins.Empty())
             ? S_OK
             : E_FAIL;
}

HRESULT CKsFilter::SortPins() {
  ClearRoleLists();
  for (CKsPin* pin : m_pins) {
    const ULONG flow = pin->Description().dataFlow;
    const ULONG communication = pin->Description().communication;
    bool ok = true;
    switch (communication) {
      case kCommunicationNone:
        ok = m_noCommunicationPins.Append(pin);
        break;
      case kCommunicationSink:
        ok = flow == kDataFlowIn ? m_renderSinkPins.Append(pin) : m_captureSinkPins.Append(pin);
        break;
      case kCommunicationSource:
        ok = flow == kDataFlowIn ? m_inSourcePins.Append(pin) : m_outSourcePins.Append(pin);
        break;
      case kCommunicationBoth:
        if (flow == kDataFlowIn) {
          ok = m_renderSinkPins.Append(pin) && m_inSourcePins.Append(pin);
        } else {
          ok = m_captureSinkPins.Append(pin) && m_outSourcePins.Append(pin);
        }
        break;
      default:
        break;
    }
    if (!ok) return E_OUTOFMEMORY;
  }
  return S_OK;
}
