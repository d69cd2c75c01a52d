#include "kslib/ks_audio_filter.h"

#include "kslib/ks_alloc.h"
#include "kslib/ks_audio_pin.h"
#include "kslib/ks_ids.h"

using namespace kslib;

namespace {

void CopyCut(WCHAR* field, ULONG fieldChars, LPCWSTR text) {
  ULONG i = 0;
  if (text != nullptr) {
    for (; i + 1 < fieldChars && text[i] != 0; ++i) field[i] = text[i];
  }
  field[i] = 0;
}

}  // namespace

CKsAudFilter::CKsAudFilter(LPCWSTR devicePath, HRESULT* result) : CKsFilter(devicePath, result) {}

CKsAudFilter::~CKsAudFilter() = default;

HRESULT CKsAudFilter::LoadPins() {
  DestroyPins();
  ULONG count = 0;
  DWORD bytes = 0;
  if (SUCCEEDED(QueryPinValue(0, kPinCTypes, &count, sizeof(count), &bytes)) && bytes == sizeof(count)) {
    if (count > kMaxPinCount) {
      // A broken count would mean billions of failing requests.
      ::OutputDebugStringW(L"CKsAudFilter::LoadPins() / pin count refused: more than 256\n");
      count = 0;
    }
    for (ULONG id = 0; id < count; ++id) {
      ULONG communication = 0;
      if (FAILED(QueryPinValue(id, kPinCommunication, &communication, sizeof(ULONG), &bytes)) ||
          bytes != sizeof(ULONG)) {
        continue;
      }
      if (communication != kCommunicationSink && communication != kCommunicationSource &&
          communication != kCommunicationBoth) {
        continue;
      }
      ULONG flow = 0;
      if (FAILED(QueryPinValue(id, kPinDataFlow, &flow, sizeof(ULONG), &bytes)) || bytes != sizeof(ULONG)) {
        continue;
      }
      HRESULT pinResult = S_OK;
      CKsAudPin* pin = nullptr;
      if (communication == kCommunicationSink && flow == kDataFlowIn) {
        pin = New<CKsAudRenPin>(this, id, &pinResult);
      } else if (communication == kCommunicationSink && flow == kDataFlowOut) {
        pin = New<CKsAudCapPin>(this, id, &pinResult);
      } else {
        pin = New<CKsAudPin>(this, id, &pinResult);
      }
      if (pin == nullptr) continue;
      if (FAILED(pinResult)) {
        delete pin;
        continue;
      }
      if (!m_pins.Append(pin)) {
        delete pin;
        DestroyPins();
        return E_OUTOFMEMORY;
      }
    }
  }
  HRESULT hr = SortPins();
  if (FAILED(hr)) return hr;
  return (!m_renderSinkPins.Empty() || !m_outSourcePins.Empty() || !m_captureSinkPins.Empty() ||
          !m_inSourcePins.Empty())
             ? S_OK
             : E_FAIL;
}

CKsAudPin* CKsAudFilter::OpenPinFor(const KsList<CKsPin>& candidates, const WAVEFORMATEX* format) {
  for (CKsPin* candidate : candidates) {
    // Every pin this filter loads is an audio pin.
    CKsAudPin* pin = static_cast<CKsAudPin*>(candidate);
    if (!pin->SupportsWaveFormat(format)) continue;
    if (FAILED(pin->ApplyWaveFormat(format)) || FAILED(pin->ConnectPin(FALSE))) return nullptr;
    return pin;
  }
  return nullptr;
}

CKsAudPin* CKsAudFilter::OpenRenderPinFor(const WAVEFORMATEX* format) { return OpenPinFor(m_renderSinkPins, format); }

CKsAudPin* CKsAudFilter::OpenCapturePinFor(const WAVEFORMATEX* format) {
  return OpenPinFor(m_captureSinkPins, format);
}

CKsAudFilter2::CKsAudFilter2(LPCWSTR devicePath, HRESULT* result) : CKsAudFilter(devicePath, result) {}

void CKsAudFilter2::SetFriendlyName(LPCWSTR name) { CopyCut(m_friendlyName, kFriendlyNameChars, name); }

void CKsAudFilter2::SetInstanceId(LPCWSTR instanceId) { CopyCut(m_instanceId, kInstanceIdChars, instanceId); }

CKsAudRenFilter::CKsAudRenFilter(LPCWSTR devicePath, HRESULT* result) : CKsAudFilter(devicePath, result) {
  m_filterRole = kFilterRoleRender;
}

CKsAudCapFilter::CKsAudCapFilter(LPCWSTR devicePath, HRESULT* result) : CKsAudFilter(devicePath, result) {
  m_filterRole = kFilterRoleCapture;
}
