#include "sim/uac/audio_function_model.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace sim {
namespace {

constexpr uint16_t kEndpointSamplingFrequency = 0x0100;  // SAMPLING_FREQ_CONTROL << 8, channel 0
constexpr int kMaxClockDepth = 8;                         // guards selector loops in broken descriptors

uint32_t ReadLe(const uint8_t* p, size_t bytes) {
  uint32_t v = 0;
  for (size_t i = 0; i < bytes; ++i) v |= static_cast<uint32_t>(p[i]) << (8 * i);
  return v;
}

void PutLe(std::vector<uint8_t>& out, uint32_t v, size_t bytes) {
  for (size_t i = 0; i < bytes; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

// A device takes a rate its RANGE answer offers: a discrete entry, a point on
// a stepped range, or anywhere in a range without a step.
bool RateInRanges(const std::vector<FrequencySubRange>& ranges, uint32_t rate) {
  for (const FrequencySubRange& r : ranges) {
    if (rate < r.min || rate > r.max) continue;
    if (r.min == r.max || r.res == 0 || (rate - r.min) % r.res == 0) return true;
  }
  return false;
}

int16_t ClampVolume(int16_t v, const FeatureChannelConfig& ch) {
  if (ch.volumeMin > ch.volumeMax) return v;
  return std::clamp(v, ch.volumeMin, ch.volumeMax);
}

}  // namespace

AudioFunctionModel::AudioFunctionModel(const DescriptorSet& descriptors, AudioFunctionConfig config)
    : layout_(ReadAudioFunctionLayout(descriptors.configuration)), config_(std::move(config)) {}

bool AudioFunctionModel::HandleControl(const SetupPacket& setup, uint8_t* data, uint32_t& transferred) {
  std::lock_guard<std::mutex> lock(mutex_);
  ++counters_.requests;
  Bytes answer;
  bool handled = false;
  if (config_.faults.failNextRequests > 0) {
    --config_.faults.failNextRequests;
  } else {
    handled = Dispatch(setup, setup.IsIn() ? nullptr : data, answer);
  }
  if (!handled) {
    ++counters_.stalls;
    transferred = 0;
    return false;
  }
  if (setup.IsIn()) {
    ApplyShortAnswer(setup, answer);
    const size_t n = std::min<size_t>(answer.size(), setup.wLength);
    if (n != 0) std::memcpy(data, answer.data(), n);
    transferred = static_cast<uint32_t>(n);
  }
  return true;
}

bool AudioFunctionModel::Dispatch(const SetupPacket& setup, const uint8_t* out, Bytes& answer) {
  switch (setup.bmRequestType) {
    case uac::kGetEntity:
    case uac::kSetEntity:
      return EntityRequest(setup, out, answer);
    case uac::kGetEndpoint:
    case uac::kSetEndpoint:
      return EndpointRequest(setup, out, answer);
    case uac::kVendorSetInterface:
      return VendorRequest(setup);
    default:
      return false;
  }
}

bool AudioFunctionModel::EntityRequest(const SetupPacket& setup, const uint8_t* out, Bytes& answer) {
  if (!layout_.hasAudioControl || (setup.wIndex & 0xFF) != layout_.acInterface) return false;
  const uint8_t id = static_cast<uint8_t>(setup.wIndex >> 8);
  if (config_.faults.stalledEntities.count(id) != 0) return false;
  const auto entity = layout_.entities.find(id);
  if (entity == layout_.entities.end()) return false;
  switch (entity->second.kind) {
    case AcEntityKind::ClockSource:
      return ClockSourceRequest(id, setup, out, answer);
    case AcEntityKind::ClockSelector:
      return ClockSelectorRequest(id, entity->second, setup, out, answer);
    case AcEntityKind::FeatureUnit:
      return FeatureUnitRequest(id, setup, out, answer);
    default:
      return false;
  }
}

bool AudioFunctionModel::ClockSourceRequest(uint8_t id, const SetupPacket& setup, const uint8_t* out,
                                            Bytes& answer) {
  const auto it = config_.clockSources.find(id);
  if (it == config_.clockSources.end() || (setup.wValue & 0xFF) != 0) return false;
  ClockSourceConfig& clock = it->second;
  const bool get = setup.bmRequestType == uac::kGetEntity;
  const uint8_t selector = static_cast<uint8_t>(setup.wValue >> 8);

  if (selector == uac::kSamFreqControl && setup.bRequest == uac::kCur) {
    if (setup.wLength != 4) return false;
    if (get) {
      if (!CanRead(clock.frequency)) return false;
      PutLe(answer, clock.currentRate, 4);
      return true;
    }
    const uint32_t rate = ReadLe(out, 4);
    if (!CanWrite(clock.frequency) || !RateInRanges(clock.ranges, rate)) return false;
    if (clock.refuseRateChangeWhileStreaming && StreamingOnLocked(id)) return false;
    clock.currentRate = rate;
    invalidReadsLeft_[id] = clock.invalidReadsAfterRateChange;
    if (CanRead(clock.validity) && clock.settleMicroseconds != 0)
      settledAt_[id] = now_() + std::chrono::microseconds(clock.settleMicroseconds);
    return true;
  }
  if (selector == uac::kSamFreqControl && setup.bRequest == uac::kRange) {
    if (!get || setup.wLength < 2 || !CanRead(clock.frequency)) return false;
    const size_t claimed = std::min<size_t>(clock.ranges.size() + clock.rangeExtraClaimed, 0xFFFF);
    PutLe(answer, static_cast<uint32_t>(claimed), 2);
    for (const FrequencySubRange& r : clock.ranges) {
      PutLe(answer, r.min, 4);
      PutLe(answer, r.max, 4);
      PutLe(answer, r.res, 4);
    }
    return true;
  }
  if (selector == uac::kClockValidControl && setup.bRequest == uac::kCur) {
    if (!get || setup.wLength != 1 || !CanRead(clock.validity)) return false;
    bool valid = clock.valid && !SettlingLocked(id);
    uint32_t& settling = invalidReadsLeft_[id];
    if (settling > 0) {
      --settling;
      valid = false;
    }
    answer.push_back(valid ? 1 : 0);
    return true;
  }
  return false;
}

bool AudioFunctionModel::ClockSelectorRequest(uint8_t id, const AcEntityInfo& entity, const SetupPacket& setup,
                                              const uint8_t* out, Bytes& answer) {
  const auto it = config_.clockSelectors.find(id);
  if (it == config_.clockSelectors.end() || setup.wValue != (uac::kClockSelectorControl << 8) ||
      setup.bRequest != uac::kCur || setup.wLength != 1) {
    return false;
  }
  ClockSelectorConfig& sel = it->second;
  if (setup.bmRequestType == uac::kGetEntity) {
    if (!CanRead(sel.selector)) return false;
    answer.push_back(sel.reportedPin.value_or(sel.currentPin));
    return true;
  }
  const uint8_t pin = out[0];
  if (!CanWrite(sel.selector) || pin < 1 || pin > entity.inputs.size()) return false;
  sel.currentPin = pin;
  return true;
}

bool AudioFunctionModel::FeatureUnitRequest(uint8_t id, const SetupPacket& setup, const uint8_t* out,
                                            Bytes& answer) {
  const auto it = config_.featureUnits.find(id);
  if (it == config_.featureUnits.end()) return false;
  const uint8_t channel = static_cast<uint8_t>(setup.wValue & 0xFF);
  if (channel >= it->second.channels.size()) return false;
  FeatureChannelConfig& ch = it->second.channels[channel];
  const bool get = setup.bmRequestType == uac::kGetEntity;
  const uint8_t selector = static_cast<uint8_t>(setup.wValue >> 8);

  // The same CUR for both class versions, only the GET code differs.
  const bool cur = get ? setup.bRequest == (layout_.uac2 ? uac::kCur : uac::kGetCur1) : setup.bRequest == uac::kCur;

  if (selector == uac::kMuteControl) {
    if (!cur || setup.wLength != 1) return false;
    if (get) {
      if (!CanRead(ch.muteAccess)) return false;
      answer.push_back(ch.mute ? 1 : 0);
      return true;
    }
    if (!CanWrite(ch.muteAccess)) return false;
    ch.mute = out[0] != 0;
    return true;
  }
  if (selector != uac::kVolumeControl) return false;

  if (cur) {
    if (setup.wLength != 2) return false;
    if (get) {
      if (!CanRead(ch.volumeAccess)) return false;
      PutLe(answer, static_cast<uint16_t>(ch.volume), 2);
      return true;
    }
    if (!CanWrite(ch.volumeAccess)) return false;
    ch.volume = ClampVolume(static_cast<int16_t>(ReadLe(out, 2)), ch);
    return true;
  }
  if (!get || !CanRead(ch.volumeAccess)) return false;
  if (layout_.uac2) {
    if (setup.bRequest != uac::kRange || setup.wLength < 2) return false;
    PutLe(answer, 1, 2);
    PutLe(answer, static_cast<uint16_t>(ch.volumeMin), 2);
    PutLe(answer, static_cast<uint16_t>(ch.volumeMax), 2);
    PutLe(answer, static_cast<uint16_t>(ch.volumeRes), 2);
    return true;
  }
  if (setup.wLength != 2) return false;
  switch (setup.bRequest) {
    case uac::kGetMin1:
      PutLe(answer, static_cast<uint16_t>(ch.volumeMin), 2);
      return true;
    case uac::kGetMax1:
      PutLe(answer, static_cast<uint16_t>(ch.volumeMax), 2);
      return true;
    case uac::kGetRes1:
      PutLe(answer, static_cast<uint16_t>(ch.volumeRes), 2);
      return true;
    default:
      return false;
  }
}

bool AudioFunctionModel::EndpointRequest(const SetupPacket& setup, const uint8_t* out, Bytes& answer) {
  // Only class 1.0 puts the sampling frequency on the endpoint.
  if (!layout_.hasAudioControl || layout_.uac2 || setup.wValue != kEndpointSamplingFrequency ||
      setup.wLength != 3 || (setup.wIndex >> 8) != 0) {
    return false;
  }
  const uint8_t address = static_cast<uint8_t>(setup.wIndex);
  const bool described = std::any_of(layout_.endpoints.begin(), layout_.endpoints.end(),
                                     [address](const StreamingEndpointInfo& e) { return e.address == address; });
  const auto it = config_.endpointRates.find(address);
  if (!described || it == config_.endpointRates.end()) return false;
  EndpointRateConfig& ep = it->second;
  if (setup.bmRequestType == uac::kGetEndpoint) {
    if (setup.bRequest != uac::kGetCur1) return false;
    PutLe(answer, ep.currentRate, 3);
    return true;
  }
  if (setup.bRequest != uac::kCur || !ep.settable) return false;
  const uint32_t rate = ReadLe(out, 3);
  if (std::find(ep.rates.begin(), ep.rates.end(), rate) == ep.rates.end()) return false;
  ep.currentRate = rate;
  return true;
}

bool AudioFunctionModel::VendorRequest(const SetupPacket& setup) {
  if (setup.bRequest != uac::kVendorMode || setup.wLength != 0 || !config_.vendorModeAccepted ||
      setup.wIndex > 0xFF || layout_.streamingInterfaces.count(static_cast<uint8_t>(setup.wIndex)) == 0) {
    return false;
  }
  interfaceModes_[static_cast<uint8_t>(setup.wIndex)] = setup.wValue;
  config_.deviceMode = setup.wValue;
  return true;
}

void AudioFunctionModel::ApplyShortAnswer(const SetupPacket& setup, Bytes& answer) const {
  const bool endpoint = setup.bmRequestType == uac::kGetEndpoint;
  const uint8_t target = static_cast<uint8_t>(endpoint ? setup.wIndex : setup.wIndex >> 8);
  const uint8_t selector = static_cast<uint8_t>(setup.wValue >> 8);
  for (const ShortAnswerFault& f : config_.faults.shortAnswers) {
    if (f.endpoint != endpoint || f.entityOrEndpoint != target || f.request != setup.bRequest) continue;
    if (!endpoint && f.controlSelector != selector) continue;
    answer.resize(std::min<size_t>(f.bytes, answer.size()));
    return;
  }
}

std::optional<uint32_t> AudioFunctionModel::EffectiveRateLocked(uint8_t clockId, int depth) const {
  if (depth > kMaxClockDepth) return std::nullopt;
  const auto entity = layout_.entities.find(clockId);
  if (entity == layout_.entities.end()) return std::nullopt;
  if (entity->second.kind == AcEntityKind::ClockSource) {
    const auto it = config_.clockSources.find(clockId);
    if (it == config_.clockSources.end()) return std::nullopt;
    return it->second.currentRate;
  }
  if (entity->second.kind == AcEntityKind::ClockSelector) {
    const auto it = config_.clockSelectors.find(clockId);
    if (it == config_.clockSelectors.end()) return std::nullopt;
    const uint8_t pin = it->second.currentPin;
    if (pin < 1 || pin > entity->second.inputs.size()) return std::nullopt;
    return EffectiveRateLocked(entity->second.inputs[pin - 1u], depth + 1);
  }
  return std::nullopt;
}

// State ---------------------------------------------------------------------------------

std::optional<uint32_t> AudioFunctionModel::ClockRate(uint8_t clockId) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto it = config_.clockSources.find(clockId);
  if (it == config_.clockSources.end()) return std::nullopt;
  return it->second.currentRate;
}

std::optional<uint32_t> AudioFunctionModel::EffectiveRate(uint8_t clockId) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return EffectiveRateLocked(clockId, 0);
}

std::optional<uint8_t> AudioFunctionModel::EffectiveSourceLocked(uint8_t clockId, int depth) const {
  if (depth > kMaxClockDepth) return std::nullopt;
  const auto entity = layout_.entities.find(clockId);
  if (entity == layout_.entities.end()) return std::nullopt;
  if (entity->second.kind == AcEntityKind::ClockSource) return clockId;
  if (entity->second.kind != AcEntityKind::ClockSelector) return std::nullopt;
  const auto it = config_.clockSelectors.find(clockId);
  if (it == config_.clockSelectors.end()) return std::nullopt;
  const uint8_t pin = it->second.currentPin;
  if (pin < 1 || pin > entity->second.inputs.size()) return std::nullopt;
  return EffectiveSourceLocked(entity->second.inputs[pin - 1u], depth + 1);
}

std::optional<bool> AudioFunctionModel::ClockValid(uint8_t clockId) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const std::optional<uint8_t> source = EffectiveSourceLocked(clockId, 0);
  if (!source) return std::nullopt;
  const auto it = config_.clockSources.find(*source);
  if (it == config_.clockSources.end()) return std::nullopt;
  return it->second.valid && !SettlingLocked(*source);
}

bool AudioFunctionModel::SettlingLocked(uint8_t sourceId) const {
  const auto it = settledAt_.find(sourceId);
  return it != settledAt_.end() && now_() < it->second;
}

// Whether a streaming interface clocked by this source runs (an alternate
// above 0); an interface whose clock cannot be resolved counts as clocked by it.
bool AudioFunctionModel::StreamingOnLocked(uint8_t sourceId) const {
  for (const auto& [interfaceNumber, alternate] : alternates_) {
    if (alternate == 0) continue;
    for (const StreamingEndpointInfo& ep : layout_.endpoints) {
      if (ep.interfaceNumber != interfaceNumber || ep.alternate != alternate) continue;
      const auto terminal = layout_.entities.find(ep.terminalLink);
      const std::optional<uint8_t> source =
          terminal != layout_.entities.end() && terminal->second.kind == AcEntityKind::Terminal
              ? EffectiveSourceLocked(terminal->second.clockSource, 0)
              : std::nullopt;
      if (!source || *source == sourceId) return true;
    }
  }
  return false;
}

void AudioFunctionModel::OnAlternateSelected(uint8_t interfaceNumber, uint8_t alternate) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (layout_.streamingInterfaces.count(interfaceNumber) != 0) alternates_[interfaceNumber] = alternate;
}

void AudioFunctionModel::SetTimeSource(std::function<Clock::time_point()> now) {
  std::lock_guard<std::mutex> lock(mutex_);
  now_ = std::move(now);
}

std::optional<uint8_t> AudioFunctionModel::SelectorPin(uint8_t selectorId) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto it = config_.clockSelectors.find(selectorId);
  if (it == config_.clockSelectors.end()) return std::nullopt;
  return it->second.currentPin;
}

std::optional<int16_t> AudioFunctionModel::Volume(uint8_t unitId, uint8_t channel) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto it = config_.featureUnits.find(unitId);
  if (it == config_.featureUnits.end() || channel >= it->second.channels.size()) return std::nullopt;
  return it->second.channels[channel].volume;
}

std::optional<bool> AudioFunctionModel::Mute(uint8_t unitId, uint8_t channel) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto it = config_.featureUnits.find(unitId);
  if (it == config_.featureUnits.end() || channel >= it->second.channels.size()) return std::nullopt;
  return it->second.channels[channel].mute;
}

std::optional<uint32_t> AudioFunctionModel::EndpointRate(uint8_t endpointAddress) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto it = config_.endpointRates.find(endpointAddress);
  if (it == config_.endpointRates.end()) return std::nullopt;
  return it->second.currentRate;
}

uint16_t AudioFunctionModel::DeviceMode() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return config_.deviceMode;
}

std::optional<uint16_t> AudioFunctionModel::InterfaceMode(uint8_t interfaceNumber) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto it = interfaceModes_.find(interfaceNumber);
  if (it == interfaceModes_.end()) return std::nullopt;
  return it->second;
}

AudioFunctionModel::Counters AudioFunctionModel::GetCounters() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return counters_;
}

AudioFunctionConfig AudioFunctionModel::Config() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return config_;
}

// Faults --------------------------------------------------------------------------------

void AudioFunctionModel::FailNextRequests(uint32_t count) {
  std::lock_guard<std::mutex> lock(mutex_);
  config_.faults.failNextRequests = count;
}

void AudioFunctionModel::StallEntity(uint8_t entityId, bool stall) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (stall) {
    config_.faults.stalledEntities.insert(entityId);
  } else {
    config_.faults.stalledEntities.erase(entityId);
  }
}

void AudioFunctionModel::SetClockValid(uint8_t clockId, bool valid) {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto it = config_.clockSources.find(clockId);
  if (it != config_.clockSources.end()) it->second.valid = valid;
}

void AudioFunctionModel::Modify(const std::function<void(AudioFunctionConfig&)>& edit) {
  std::lock_guard<std::mutex> lock(mutex_);
  edit(config_);
}

}  // namespace sim
