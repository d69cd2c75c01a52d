// The published kernel-streaming identifiers and request constants the
// client library uses, as constants of its own: the library then needs no
// GUID variables from ksguid.lib on Windows.
#pragma once

#include <cstring>

#include "kslib/user_prelude.h"

namespace kslib {

inline constexpr GUID kPropSetPin = {0x8C134960, 0x51AD, 0x11CF, {0x87, 0x8A, 0x94, 0xF8, 0x01, 0xC1, 0x00, 0x00}};
inline constexpr GUID kPropSetConnection = {0x1D58C920, 0xAC9B, 0x11CF, {0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00}};
inline constexpr GUID kPropSetTopology = {0x720D4AC0, 0x7533, 0x11D0, {0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00}};
inline constexpr GUID kInterfaceSetStandard = {0x1A8766A0, 0x62CE, 0x11CF, {0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00}};
inline constexpr GUID kMediumSetStandard = {0x4747B320, 0x62CE, 0x11CF, {0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00}};
inline constexpr GUID kFormatTypeAudio = {0x73647561, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
inline constexpr GUID kFormatSubtypePcm = {0x00000001, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
inline constexpr GUID kFormatSpecifierWaveFormatEx = {0x05589F81, 0xC356, 0x11CE, {0xBF, 0x01, 0x00, 0xAA, 0x00, 0x55, 0x59, 0x5A}};
// Sub-formats of wave-format style are this GUID with the format tag in Data1.
inline constexpr GUID kWaveFormatTemplate = {0x00000000, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
inline constexpr GUID kCategoryAudio = {0x6994AD04, 0x93EF, 0x11D0, {0xA3, 0xCC, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};
inline constexpr GUID kNullGuid = {0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};

inline constexpr DWORD kIoctlKsProperty = 0x002F0003;
inline constexpr ULONG kPropertyGet = 0x00000001;
inline constexpr ULONG kPropertySet = 0x00000002;
inline constexpr ULONG kPropertyTopology = 0x10000000;

// KSPROPSETID_Pin ids.
inline constexpr ULONG kPinCInstances = 0;
inline constexpr ULONG kPinCTypes = 1;
inline constexpr ULONG kPinDataFlow = 2;
inline constexpr ULONG kPinDataRanges = 3;
inline constexpr ULONG kPinInterfaces = 5;
inline constexpr ULONG kPinMediums = 6;
inline constexpr ULONG kPinCommunication = 7;
inline constexpr ULONG kPinGlobalCInstances = 8;
inline constexpr ULONG kPinCategory = 11;
inline constexpr ULONG kPinName = 12;
// KSPROPSETID_Connection ids.
inline constexpr ULONG kConnectionState = 0;
inline constexpr ULONG kConnectionDataFormat = 2;
// KSPROPSETID_Topology ids.
inline constexpr ULONG kTopologyNodes = 1;

// Pin data flow and communication values.
inline constexpr ULONG kDataFlowIn = 1;
inline constexpr ULONG kDataFlowOut = 2;
inline constexpr ULONG kCommunicationNone = 0;
inline constexpr ULONG kCommunicationSink = 1;
inline constexpr ULONG kCommunicationSource = 2;
inline constexpr ULONG kCommunicationBoth = 3;

inline constexpr ULONG kInterfaceStandardStreaming = 0;
inline constexpr ULONG kInterfaceStandardLoopedStreaming = 1;

// More pins than this on one filter is a broken reply, not a device.
inline constexpr ULONG kMaxPinCount = 256;

inline bool SameGuid(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof(GUID)) == 0; }
inline bool IsNullGuid(const GUID& g) { return SameGuid(g, kNullGuid); }

// The HRESULT of a Win32 error code (0 stays S_OK).
inline HRESULT HresultFromWin32(DWORD error) {
  return error == 0 ? S_OK : static_cast<HRESULT>(0x80070000u | (error & 0xFFFFu));
}

}  // namespace kslib
