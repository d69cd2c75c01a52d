// A kernel-streaming filter opened from its device-interface path: its
// topology nodes, its pins and the pins' role lists.
#pragma once

#include "kslib/ks_irp_target.h"
#include "kslib/ks_list.h"

class CKsPin;

struct NodeRecord {
  ULONG id;      // the node's index
  char tag[4];   // always "NONE"
  GUID type;
};

// What a filter is opened for.
enum FilterRole : ULONG { kFilterRolePlain = 0, kFilterRoleRender = 1, kFilterRoleCapture = 2 };

class CKsFilter : public CKsIrpTarget {
 public:
  static constexpr ULONG kPathChars = 260;

  // E_INVALIDARG for a missing path; the path is cut to 259 characters.
  CKsFilter(LPCWSTR devicePath, HRESULT* result);
  virtual ~CKsFilter();

  virtual HRESULT OpenDevice();
  virtual HRESULT LoadNodes();
  virtual HRESULT LoadPins();
  virtual HRESULT ReleaseLists();

  // KSP_PIN GET into a fixed-size buffer.
  HRESULT QueryPinValue(ULONG pinId, ULONG propertyId, void* out, ULONG outSize, DWORD* bytesReturned = nullptr);
  // Two-step KSP_PIN GET; see CKsIrpTarget::QueryList for the block.
  HRESULT QueryPinList(ULONG pinId, ULONG propertyId, KSMULTIPLE_ITEM** list, ULONG* listSize = nullptr);

  const KsList<NodeRecord>& Nodes() const { return m_nodes; }
  const KsList<CKsPin>& Pins() const { return m_pins; }
  const KsList<CKsPin>& RenderSinkPins() const { return m_renderSinkPins; }
  const KsList<CKsPin>& OutSourcePins() const { return m_outSourcePins; }
  const KsList<CKsPin>& CaptureSinkPins() const { return m_captureSinkPins; }
  const KsList<CKsPin>& InSourcePins() const { return m_inSourcePins; }
  const KsList<CKsPin>& NoCommunicationPins() const { return m_noCommunicationPins; }
  ULONG Role() const { return m_filterRole; }
  LPCWSTR DevicePath() const { return m_devicePath; }

 protected:
  // Puts every pin of the pin list into the role lists it belongs to.
  HRESULT SortPins();
  // Empties the five role lists (the pins stay in the pin list).
  void ClearRoleLists();
  // Destroys every pin and empties all pin lists.
  void DestroyPins();

  KsList<NodeRecord> m_nodes;
  KsList<CKsPin> m_pins;  // owns the pins
  KsList<CKsPin> m_renderSinkPins;
  KsList<CKsPin> m_outSourcePins;
  KsList<CKsPin> m_captureSinkPins;
  KsList<CKsPin> m_inSourcePins;
  KsList<CKsPin> m_noCommunicationPins;
  ULONG m_filterRole = kFilterRolePlain;
  WCHAR m_devicePath[kPathChars] = {};
};
