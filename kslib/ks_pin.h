// One pin of a kernel-streaming filter: its KS description, read at
// construction, and (once connected) its handle and stream state.
#pragma once

#include "kslib/ks_irp_target.h"

class CKsFilter;

// What a pin is used for.
enum PinRole : ULONG { kPinRolePlain = 0, kPinRoleRender = 1, kPinRoleCapture = 2 };

// The pin's description: the item pointers point into replies the pin owns.
struct KsPinDescription {
  ULONG interfaceCount;
  const KSIDENTIFIER* interfaces;
  ULONG mediumCount;
  const KSIDENTIFIER* mediums;
  ULONG dataRangeCount;
  const KSDATARANGE* dataRanges;  // the first range; each one's FormatSize steps to the next
  ULONG dataFlow;                 // KSPIN_DATAFLOW value as the kernel gave it
  ULONG communication;            // KSPIN_COMMUNICATION value as the kernel gave it
  KSPIN_CINSTANCES instances;
  KSPIN_CINSTANCES globalInstances;
};

class CKsPin : public CKsIrpTarget {
 public:
  static constexpr ULONG kNameChars = 260;

  // *result: 0 when all nine description requests succeeded, 1 otherwise.
  CKsPin(CKsFilter* filter, ULONG pinId, HRESULT* result);
  virtual ~CKsPin();

  // Opens the pin handle below the filter with the connect buffer; S_OK
  // without doing anything when the pin has no connect buffer.
  virtual HRESULT ConnectPin(BOOL looped);
  // KSPROPERTY_CONNECTION_STATE SET; the state is recorded on success.
  virtual HRESULT ChangeState(KSSTATE state);
  HRESULT ReadState(KSSTATE* state);
  // Stops the pin (KSSTATE_STOP, result ignored) and closes its handle and
  // its quick-request event. The pin object stays with its filter and can
  // be connected again. S_OK, also for a pin that was not open.
  HRESULT ClosePin();

  // Requests sent at the audio rate (once per buffer switch) without
  // allocating: PrepareQuickRequests makes the pin's own completion event
  // (E_OUTOFMEMORY when it cannot; kept until ClosePin); ApplyQuickValue
  // then sends a KSPROPERTY SET without instance data, built on the stack,
  // and waits on that event (E_FAIL before PrepareQuickRequests or on a
  // closed pin). One thread at a time sends quick requests; other requests
  // may run beside them.
  HRESULT PrepareQuickRequests();
  HRESULT ApplyQuickValue(const GUID& set, ULONG id, void* value, ULONG valueSize);

  ULONG PinId() const { return m_pinId; }
  CKsFilter* Filter() const { return m_filter; }
  const GUID& Category() const { return m_category; }
  const KsPinDescription& Description() const { return m_description; }
  // Bytes of the data-range reply after its KSMULTIPLE_ITEM header.
  ULONG DataRangeBytes() const { return m_dataRangeBytes; }
  ULONG Role() const { return m_pinRole; }
  KSSTATE State() const { return m_state; }
  LPCWSTR Name() const { return m_name; }
  ULONG Looped() const { return m_looped; }
  const KSPIN_CONNECT* ConnectBuffer() const { return m_connect; }
  ULONG ConnectBufferSize() const { return m_connectSize; }

 protected:
  HRESULT ReadPinDescription();

  KSPIN_CONNECT* m_connect = nullptr;  // KSPIN_CONNECT + KSDATAFORMAT + format tail (kslib block)
  ULONG m_connectSize = 0;
  ULONG m_pinId;
  CKsFilter* m_filter;
  GUID m_category = {};
  KsPinDescription m_description = {};
  ULONG m_pinRole = kPinRolePlain;
  KSSTATE m_state = KSSTATE_STOP;
  WCHAR m_name[kNameChars] = {};
  ULONG m_looped = 0;

 private:
  KSMULTIPLE_ITEM* m_interfaceReply = nullptr;
  KSMULTIPLE_ITEM* m_mediumReply = nullptr;
  KSMULTIPLE_ITEM* m_dataRangeReply = nullptr;
  ULONG m_dataRangeBytes = 0;
  HANDLE m_quickEvent = nullptr;
};
