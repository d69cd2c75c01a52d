// Audio filters: pins loaded as audio pins (render, capture or plain), and
// opening a pin for a wave format.
#pragma once

#include "kslib/ks_filter.h"

class CKsAudPin;

class CKsAudFilter : public CKsFilter {
 public:
  CKsAudFilter(LPCWSTR devicePath, HRESULT* result);
  ~CKsAudFilter() override;

  HRESULT LoadPins() override;

  // The first render-sink (capture-sink) pin that supports the format, with
  // the format applied and connected (not looped); none when no pin
  // supports it or that pin fails. The filter keeps owning the pin.
  CKsAudPin* OpenRenderPinFor(const WAVEFORMATEX* format);
  CKsAudPin* OpenCapturePinFor(const WAVEFORMATEX* format);

 private:
  CKsAudPin* OpenPinFor(const KsList<CKsPin>& candidates, const WAVEFORMATEX* format);
};

// The filter type the device list keeps: an audio filter with the device's
// friendly name and instance id.
class CKsAudFilter2 : public CKsAudFilter {
 public:
  static constexpr ULONG kFriendlyNameChars = 260;
  static constexpr ULONG kInstanceIdChars = 201;

  CKsAudFilter2(LPCWSTR devicePath, HRESULT* result);

  // Cut to 259 (200) characters; a missing text empties the field.
  void SetFriendlyName(LPCWSTR name);
  void SetInstanceId(LPCWSTR instanceId);
  LPCWSTR FriendlyName() const { return m_friendlyName; }
  LPCWSTR InstanceId() const { return m_instanceId; }

 private:
  WCHAR m_friendlyName[kFriendlyNameChars] = {};
  WCHAR m_instanceId[kInstanceIdChars] = {};
};

class CKsAudRenFilter : public CKsAudFilter {
 public:
  CKsAudRenFilter(LPCWSTR devicePath, HRESULT* result);
};

class CKsAudCapFilter : public CKsAudFilter {
 public:
  CKsAudCapFilter(LPCWSTR devicePath, HRESULT* result);
};
