#include "sim/uac/default_audio_config.h"

#include <algorithm>

#include "sim/uac/audio_function_layout.h"

namespace sim {
namespace {

constexpr uint32_t kDefaultRate = 48000;
constexpr int16_t kVolumeMin = -127 * 256;  // -127 dB in 1/256 dB
constexpr int16_t kVolumeMax = 0;
constexpr int16_t kVolumeRes = 256;  // 1 dB

// Class 2.0 two-bit control field: 01 read-only, 11 host-programmable.
ControlAccess FromBits(uint32_t bits) {
  switch (bits & 0x3) {
    case 0x1:
      return ControlAccess::Read;
    case 0x3:
      return ControlAccess::ReadWrite;
    default:
      return ControlAccess::None;
  }
}

// A frequency or selector control that is not host-programmable still
// reports its value.
ControlAccess ReadableUnlessProgrammable(uint32_t bits) {
  return (bits & 0x3) == 0x3 ? ControlAccess::ReadWrite : ControlAccess::Read;
}

FeatureChannelConfig Channel(ControlAccess mute, ControlAccess volume) {
  FeatureChannelConfig ch;
  ch.muteAccess = mute;
  ch.volumeAccess = volume;
  ch.volume = kVolumeMax;
  ch.volumeMin = kVolumeMin;
  ch.volumeMax = kVolumeMax;
  ch.volumeRes = kVolumeRes;
  return ch;
}

void AddEndpointRates(const StreamingEndpointInfo& ep, EndpointRateConfig& into) {
  if (ep.continuous) {
    for (uint32_t r : DefaultClockRates())
      if (r >= ep.lowerRate && r <= ep.upperRate) into.rates.push_back(r);
    into.rates.push_back(ep.lowerRate);
    into.rates.push_back(ep.upperRate);
  } else {
    into.rates.insert(into.rates.end(), ep.rates.begin(), ep.rates.end());
  }
  if (ep.csAttributes & 0x01) into.settable = true;
}

}  // namespace

const std::vector<uint32_t>& DefaultClockRates() {
  static const std::vector<uint32_t> rates{44100, 48000, 88200, 96000, 176400, 192000, 352800, 384000};
  return rates;
}

AudioFunctionConfig DefaultAudioConfig(const DescriptorSet& descriptors) {
  AudioFunctionConfig config;
  const AudioFunctionLayout layout = ReadAudioFunctionLayout(descriptors.configuration);
  if (!layout.hasAudioControl) return config;

  for (const auto& [id, entity] : layout.entities) {
    switch (entity.kind) {
      case AcEntityKind::ClockSource: {
        ClockSourceConfig clock;
        for (uint32_t r : DefaultClockRates()) clock.ranges.push_back({r, r, 0});
        clock.currentRate = kDefaultRate;
        clock.frequency = ReadableUnlessProgrammable(entity.bmControls);
        // Validity is read-only by nature; 11 is read as present.
        clock.validity = (entity.bmControls & 0x04) ? ControlAccess::Read : ControlAccess::None;
        clock.valid = true;
        config.clockSources[id] = clock;
        break;
      }
      case AcEntityKind::ClockSelector: {
        ClockSelectorConfig sel;
        sel.currentPin = 1;
        sel.selector = ReadableUnlessProgrammable(entity.bmControls);
        config.clockSelectors[id] = sel;
        break;
      }
      case AcEntityKind::FeatureUnit: {
        FeatureUnitConfig unit;
        for (uint32_t controls : entity.bmaControls) {
          if (layout.uac2) {
            unit.channels.push_back(Channel(FromBits(controls), FromBits(controls >> 2)));
          } else {
            unit.channels.push_back(Channel((controls & 0x1) ? ControlAccess::ReadWrite : ControlAccess::None,
                                            (controls & 0x2) ? ControlAccess::ReadWrite : ControlAccess::None));
          }
        }
        config.featureUnits[id] = unit;
        break;
      }
      default:
        break;
    }
  }

  if (!layout.uac2) {
    // The data endpoint of each setting carries the CS endpoint descriptor.
    for (const StreamingEndpointInfo& ep : layout.endpoints) {
      if (ep.hasCsEndpoint) AddEndpointRates(ep, config.endpointRates[ep.address]);
    }
    for (auto& [address, ep] : config.endpointRates) {
      std::sort(ep.rates.begin(), ep.rates.end());
      ep.rates.erase(std::unique(ep.rates.begin(), ep.rates.end()), ep.rates.end());
      const bool has48 = std::binary_search(ep.rates.begin(), ep.rates.end(), kDefaultRate);
      ep.currentRate = (has48 || ep.rates.empty()) ? kDefaultRate : ep.rates.front();
    }
  }
  return config;
}

}  // namespace sim
