#include "kslib/ks_audio_pin.h"

#include <cstring>

#include "kslib/ks_alloc.h"
#include "kslib/ks_ids.h"

using namespace kslib;

static_assert(sizeof(KSPIN_CONNECT) == 72, "KSPIN_CONNECT as on x64 Windows");
static_assert(sizeof(KSDATAFORMAT) == 64, "KSDATAFORMAT as on Windows");
static_assert(sizeof(KSDATARANGE_AUDIO) == 88, "KSDATARANGE_AUDIO as on Windows");
static_assert(sizeof(WAVEFORMATEX) == 18, "packed WAVEFORMATEX");
static_assert(CKsAudPin::kConnectBufferBaseSize == 154, "connect buffer with a PCM format");

namespace {

constexpr ULONG kWaveFormatExSize = 18;
// Offset of SubFormat in WAVEFORMATEXTENSIBLE, and the extension it needs.
constexpr ULONG kExtensibleSubFormatOffset = 24;
constexpr WORD kExtensibleExtraBytes = 22;

bool IsWaveFormatStyle(const GUID& g) {
  return std::memcmp(reinterpret_cast<const BYTE*>(&g) + 2, reinterpret_cast<const BYTE*>(&kWaveFormatTemplate) + 2,
                     sizeof(GUID) - 2) == 0;
}

bool HasStandardIdentifier(const KSIDENTIFIER* items, ULONG count, const GUID& set) {
  for (ULONG i = 0; i < count; ++i) {
    if (SameGuid(items[i].Set, set) && items[i].Id == 0) return true;
  }
  return false;
}

}  // namespace

CKsAudPin::CKsAudPin(CKsFilter* filter, ULONG pinId, HRESULT* result) : CKsPin(filter, pinId, result) {
  HRESULT hr = CreateConnectBuffer();
  if (SUCCEEDED(hr)) hr = CollectAudioRanges();
  if (result != nullptr && FAILED(hr)) *result = hr;
}

CKsAudPin::~CKsAudPin() {
  m_audioRanges.DeleteAll();
  FreeBlock(m_lastWaveFormat);
}

HRESULT CKsAudPin::CreateConnectBuffer() {
  BYTE* block = AllocateBlock(kConnectBufferBaseSize);
  if (block == nullptr) return E_OUTOFMEMORY;
  KSPIN_CONNECT* connect = reinterpret_cast<KSPIN_CONNECT*>(block);
  connect->Interface.Set = kInterfaceSetStandard;
  connect->Interface.Id = kInterfaceStandardStreaming;
  connect->Interface.Flags = 0;
  connect->Medium.Set = kMediumSetStandard;
  connect->Medium.Id = 0;
  connect->Medium.Flags = 0;
  connect->PinId = m_pinId;
  connect->PinToHandle = nullptr;
  connect->Priority.PriorityClass = KSPRIORITY_NORMAL;
  connect->Priority.PrioritySubClass = 1;
  KSDATAFORMAT* format = reinterpret_cast<KSDATAFORMAT*>(block + sizeof(KSPIN_CONNECT));
  format->FormatSize = sizeof(KSDATAFORMAT) + kWaveFormatExSize;
  format->Flags = 0;
  format->SampleSize = 0;
  format->Reserved = 0;
  format->MajorFormat = kFormatTypeAudio;
  format->SubFormat = kFormatSubtypePcm;
  format->Specifier = kFormatSpecifierWaveFormatEx;
  m_connect = connect;
  m_connectSize = kConnectBufferBaseSize;
  m_dataFormat = format;
  return S_OK;
}

HRESULT CKsAudPin::CollectAudioRanges() {
  const KsPinDescription& d = m_description;
  if (d.interfaceCount == 0 || !HasStandardIdentifier(d.interfaces, d.interfaceCount, kInterfaceSetStandard)) {
    return E_FAIL;
  }
  if (!HasStandardIdentifier(d.mediums, d.mediumCount, kMediumSetStandard)) return E_FAIL;
  if (d.dataRangeCount == 0) return E_FAIL;

  HRESULT hr = S_OK;
  bool passed = false;
  const BYTE* at = reinterpret_cast<const BYTE*>(d.dataRanges);
  for (ULONG i = 0; i < d.dataRangeCount; ++i) {
    // The description holds only ranges that lie inside the reply.
    KSDATARANGE range;
    std::memcpy(&range, at, sizeof(range));
    const ULONG formatSize = range.FormatSize;
    const BYTE* next = at + ((formatSize + 7u) & ~7u);
    if (!passed && !IsWaveFormatStyle(range.SubFormat) && !SameGuid(range.SubFormat, kFormatSubtypePcm) &&
        !IsNullGuid(range.SubFormat)) {
      at = next;
      continue;
    }
    passed = true;
    // A range too short for the audio limits is no audio range.
    if (SameGuid(range.MajorFormat, kFormatTypeAudio) && formatSize >= sizeof(KSDATARANGE_AUDIO)) {
      KSDATARANGE_AUDIO* copy = New<KSDATARANGE_AUDIO>();
      if (copy != nullptr) std::memcpy(copy, at, sizeof(KSDATARANGE_AUDIO));
      if (copy == nullptr || !m_audioRanges.Append(copy)) {
        delete copy;
        hr = E_OUTOFMEMORY;
      }
    }
    at = next;
  }
  if (!passed) return E_FAIL;
  return hr;
}

HRESULT CKsAudPin::ApplyWaveFormat(const WAVEFORMATEX* format) {
  if (format == nullptr || m_connect == nullptr) return E_FAIL;
  const ULONG formatLength =
      format->wFormatTag == WAVE_FORMAT_PCM ? kWaveFormatExSize : kWaveFormatExSize + format->cbSize;
  const ULONG size = sizeof(KSPIN_CONNECT) + sizeof(KSDATAFORMAT) + formatLength;
  if (m_connectSize != size) {
    BYTE* block = AllocateBlock(size);
    if (block == nullptr) return E_OUTOFMEMORY;
    std::memcpy(block, m_connect, m_connectSize < size ? m_connectSize : size);
    FreeBlock(m_connect);
    m_connect = reinterpret_cast<KSPIN_CONNECT*>(block);
    m_connectSize = size;
    m_dataFormat = reinterpret_cast<KSDATAFORMAT*>(block + sizeof(KSPIN_CONNECT));
    m_dataFormat->FormatSize = sizeof(KSDATAFORMAT) + formatLength;
  }
  std::memcpy(reinterpret_cast<BYTE*>(m_dataFormat) + sizeof(KSDATAFORMAT), format, formatLength);
  m_dataFormat->SampleSize = static_cast<USHORT>((format->nChannels * format->wBitsPerSample) / 8);

  BYTE* copy = AllocateBlock(formatLength);
  if (copy == nullptr) return E_OUTOFMEMORY;
  std::memcpy(copy, format, formatLength);
  FreeBlock(m_lastWaveFormat);
  m_lastWaveFormat = reinterpret_cast<WAVEFORMATEX*>(copy);
  return S_OK;
}

HRESULT CKsAudPin::ApplyWaveFormatToOpenPin(const WAVEFORMATEX* format) {
  HRESULT hr = ApplyWaveFormat(format);
  if (FAILED(hr)) return hr;
  return ApplyValue(kPropSetConnection, kConnectionDataFormat, m_dataFormat, m_dataFormat->FormatSize);
}

BOOL CKsAudPin::SupportsWaveFormat(const WAVEFORMATEX* format) const {
  if (format == nullptr) return FALSE;
  GUID wanted = kWaveFormatTemplate;
  if (format->wFormatTag == WAVE_FORMAT_EXTENSIBLE) {
    // Without its extension an extensible format names no sub-format.
    if (format->cbSize < kExtensibleExtraBytes) return FALSE;
    std::memcpy(&wanted, reinterpret_cast<const BYTE*>(format) + kExtensibleSubFormatOffset, sizeof(GUID));
  } else {
    wanted.Data1 = format->wFormatTag;
  }
  for (const KSDATARANGE_AUDIO* range : m_audioRanges) {
    const KSDATARANGE& r = range->DataRange;
    if (!IsNullGuid(r.MajorFormat) && !SameGuid(r.MajorFormat, kFormatTypeAudio)) continue;
    if (!IsNullGuid(r.SubFormat) && !SameGuid(r.SubFormat, wanted)) continue;
    if (!IsNullGuid(r.Specifier) && !SameGuid(r.Specifier, kFormatSpecifierWaveFormatEx)) continue;
    if (range->MaximumChannels < format->nChannels) continue;
    if (range->MinimumBitsPerSample > format->wBitsPerSample || format->wBitsPerSample > range->MaximumBitsPerSample) {
      continue;
    }
    if (range->MinimumSampleFrequency > format->nSamplesPerSec ||
        format->nSamplesPerSec > range->MaximumSampleFrequency) {
      continue;
    }
    return TRUE;
  }
  return FALSE;
}

CKsAudRenPin::CKsAudRenPin(CKsFilter* filter, ULONG pinId, HRESULT* result) : CKsAudPin(filter, pinId, result) {
  m_pinRole = kPinRoleRender;
}

CKsAudCapPin::CKsAudCapPin(CKsFilter* filter, ULONG pinId, HRESULT* result) : CKsAudPin(filter, pinId, result) {
  m_pinRole = kPinRoleCapture;
}
