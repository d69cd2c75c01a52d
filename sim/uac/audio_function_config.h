// Behaviour of the simulated audio function: the values behind its class and
// vendor control requests. The descriptors say what the host may ask; this
// says what the device answers. A profile fills both consistently.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <vector>

namespace sim {

// Access to one control, as in the two-bit fields of class 2.0 bmControls
// (01 read-only, 11 host-programmable). Class 1.0 controls that exist are
// ReadWrite.
enum class ControlAccess : uint8_t { None, Read, ReadWrite };

inline bool CanRead(ControlAccess a) { return a != ControlAccess::None; }
inline bool CanWrite(ControlAccess a) { return a == ControlAccess::ReadWrite; }

// One {dMIN, dMAX, dRES} entry of a sampling-frequency RANGE answer.
struct FrequencySubRange {
  uint32_t min = 0;
  uint32_t max = 0;
  uint32_t res = 0;
};

// Class 2.0 clock source (by bClockID).
struct ClockSourceConfig {
  std::vector<FrequencySubRange> ranges;  // RANGE answer, in this order
  uint32_t currentRate = 48000;           // CUR of SAM_FREQ_CONTROL
  ControlAccess frequency = ControlAccess::ReadWrite;
  ControlAccess validity = ControlAccess::None;  // CLOCK_VALID_CONTROL (bmControls bits 3..2)
  bool valid = true;                             // CUR of CLOCK_VALID_CONTROL
  // After every accepted rate SET the clock relocks: with a readable
  // validity control it reads (and runs) as not valid for this long (0: at
  // once). A clock without the control is taken to lock at once, as the
  // host could not wait for it.
  uint32_t settleMicroseconds = 20000;
  // A rate SET while a streaming interface clocked by this source has an
  // alternate setting above 0 selected stalls (some devices refuse to change
  // rate under a running stream).
  bool refuseRateChangeWhileStreaming = false;

  // Faults. The RANGE answer's wNumSubRanges claims this many sub-ranges more
  // than it carries (an empty `ranges` alone gives a zero-sub-range answer).
  uint16_t rangeExtraClaimed = 0;
  // The clock reads as not valid for this many validity reads after every
  // accepted rate SET, then settles (a PLL relocking).
  uint32_t invalidReadsAfterRateChange = 0;
};

// Class 2.0 clock selector (by bClockID).
struct ClockSelectorConfig {
  uint8_t currentPin = 1;  // 1-based index into baCSourceID
  ControlAccess selector = ControlAccess::ReadWrite;
  // Fault: GET CUR answers this pin, whatever is selected (e.g. 0 or one past
  // bNrInPins).
  std::optional<uint8_t> reportedPin;
};

// One channel of a feature unit; values in 1/256 dB as on the wire.
struct FeatureChannelConfig {
  ControlAccess muteAccess = ControlAccess::None;
  bool mute = false;
  ControlAccess volumeAccess = ControlAccess::None;
  int16_t volume = 0;
  int16_t volumeMin = 0;
  int16_t volumeMax = 0;
  int16_t volumeRes = 0;
};

// Feature unit (by bUnitID); channels[0] is the master channel, then one per
// logical channel, matching the descriptor's bmaControls entries.
struct FeatureUnitConfig {
  std::vector<FeatureChannelConfig> channels;
};

// Class 1.0 endpoint SAMPLING_FREQ_CONTROL (by data bEndpointAddress).
struct EndpointRateConfig {
  uint32_t currentRate = 48000;  // GET_CUR answer (always readable)
  bool settable = false;         // SET_CUR accepted (CS endpoint bmAttributes bit 0)
  std::vector<uint32_t> rates;   // rates SET_CUR accepts (union over the alternates)
};

// Fault: an IN answer cut to `bytes`, fewer than the host asked for.
// Entity requests match on entity ID, control selector and bRequest; class 1.0
// endpoint requests (endpoint = true) on endpoint address and bRequest.
struct ShortAnswerFault {
  uint8_t entityOrEndpoint = 0;
  uint8_t controlSelector = 0;  // ignored for endpoints
  uint8_t request = 0;
  uint16_t bytes = 0;
  bool endpoint = false;
};

// Faults that apply across controls.
struct AudioFunctionFaults {
  uint32_t failNextRequests = 0;      // the next N requests stall, whatever they are
  std::set<uint8_t> stalledEntities;  // every request to these entity IDs stalls
  std::vector<ShortAnswerFault> shortAnswers;
};

struct AudioFunctionConfig {
  std::map<uint8_t, ClockSourceConfig> clockSources;
  std::map<uint8_t, ClockSelectorConfig> clockSelectors;
  std::map<uint8_t, FeatureUnitConfig> featureUnits;
  std::map<uint8_t, EndpointRateConfig> endpointRates;

  // Vendor mode request (bmRequestType 0x41, bRequest 0, wValue mode,
  // wIndex streaming interface number): accepted or stalled.
  bool vendorModeAccepted = true;
  uint16_t deviceMode = 0;  // 0 PCM, 1 DSD

  // Every OUT data packet starts with a 4-byte little-endian length of the
  // audio bytes that follow (the 1686:00DD transport).
  bool lengthPrefixedOutPackets = false;

  AudioFunctionFaults faults;
};

}  // namespace sim
