// Audio pins: the 154-byte connect buffer for a wave format, the pin's
// acceptable audio ranges and the wave-format test against them.
#pragma once

#include "kslib/ks_list.h"
#include "kslib/ks_pin.h"

class CKsAudPin : public CKsPin {
 public:
  static constexpr ULONG kConnectBufferBaseSize = sizeof(KSPIN_CONNECT) + sizeof(KSDATAFORMAT) + 18;

  // *result: E_OUTOFMEMORY when the connect buffer cannot be allocated (or
  // a range copy failed), E_FAIL without the standard streaming interface,
  // the standard medium or an acceptable range; else the CKsPin result.
  CKsAudPin(CKsFilter* filter, ULONG pinId, HRESULT* result);
  ~CKsAudPin() override;

  // Puts the format behind the connect buffer's KSDATAFORMAT.
  HRESULT ApplyWaveFormat(const WAVEFORMATEX* format);
  // ApplyWaveFormat, then KSPROPERTY_CONNECTION_DATAFORMAT SET on the open
  // pin (changes the format of a connected pin).
  HRESULT ApplyWaveFormatToOpenPin(const WAVEFORMATEX* format);
  BOOL SupportsWaveFormat(const WAVEFORMATEX* format) const;

  const KsList<KSDATARANGE_AUDIO>& AudioRanges() const { return m_audioRanges; }
  const WAVEFORMATEX* LastWaveFormat() const { return m_lastWaveFormat; }
  const KSDATAFORMAT* DataFormat() const { return m_dataFormat; }

 protected:
  KsList<KSDATARANGE_AUDIO> m_audioRanges;  // owns the copies

 private:
  HRESULT CreateConnectBuffer();
  HRESULT CollectAudioRanges();

  WAVEFORMATEX* m_lastWaveFormat = nullptr;  // kslib block
  KSDATAFORMAT* m_dataFormat = nullptr;      // inside the connect buffer
};

class CKsAudRenPin : public CKsAudPin {
 public:
  CKsAudRenPin(CKsFilter* filter, ULONG pinId, HRESULT* result);
};

class CKsAudCapPin : public CKsAudPin {
 public:
  CKsAudCapPin(CKsFilter* filter, ULONG pinId, HRESULT* result);
};
