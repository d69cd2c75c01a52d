// What the simulated audio function learns about itself from its own
// configuration descriptor: the AC interface, its entities by ID and kind,
// the streaming interfaces and their endpoints. Shared by the request model
// and the default behaviour for devices loaded from files.
//
// Never trusts the bytes: descriptors are walked by bLength with bounds
// checks, a bLength below 2 ends the walk, and too-short descriptors are
// skipped rather than read past their end.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <vector>

namespace sim {

enum class AcEntityKind : uint8_t {
  ClockSource,    // class 2.0 only
  ClockSelector,  // class 2.0 only
  FeatureUnit,
  Terminal,
  Other,  // any other unit; known to exist, answers nothing
};

struct AcEntityInfo {
  AcEntityKind kind = AcEntityKind::Other;
  uint8_t subtype = 0;
  uint8_t bmControls = 0;            // clock source / selector byte 5 / 5+bNrInPins
  std::vector<uint8_t> inputs;       // clock selector baCSourceID
  std::vector<uint32_t> bmaControls;  // feature unit, master channel first
  uint8_t clockSource = 0;            // class 2.0 terminal bCSourceID
};

// One endpoint of an audio-streaming alternate setting.
struct StreamingEndpointInfo {
  uint8_t interfaceNumber = 0;
  uint8_t alternate = 0;
  uint8_t address = 0;
  uint8_t attributes = 0;
  uint16_t maxPacketSize = 0;  // wMaxPacketSize as in the descriptor
  uint8_t interval = 0;        // bInterval
  uint8_t synchAddress = 0;    // class 1.0 bSynchAddress (9-byte endpoint descriptor)
  // From the setting's AS_GENERAL and format type descriptors.
  uint8_t terminalLink = 0;
  uint8_t channels = 0;
  uint8_t subslotBytes = 0;  // class 2.0 bSubslotSize, class 1.0 bSubframeSize
  uint8_t bitResolution = 0;
  bool hasCsEndpoint = false;  // a CS_ENDPOINT EP_GENERAL descriptor follows it
  uint8_t csAttributes = 0;    // its bmAttributes
  // Class 1.0 format type I of the same setting: discrete rates, or a
  // continuous range when `continuous`.
  std::vector<uint32_t> rates;
  bool continuous = false;
  uint32_t lowerRate = 0;
  uint32_t upperRate = 0;
};

struct AudioFunctionLayout {
  bool hasAudioControl = false;  // an AC interface followed by its header
  bool uac2 = false;             // header bcdADC == 0x0200
  uint8_t acInterface = 0;
  std::map<uint8_t, AcEntityInfo> entities;  // by ID; the first descriptor of an ID wins
  std::set<uint8_t> streamingInterfaces;
  std::vector<StreamingEndpointInfo> endpoints;  // in descriptor order
};

// Audio interfaces are class 0x01, or 0xFF on vendor-specific variants.
AudioFunctionLayout ReadAudioFunctionLayout(const std::vector<uint8_t>& configuration);

}  // namespace sim
