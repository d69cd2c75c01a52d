// The simulated audio function behind the default pipe: answers every class
// and vendor control request the driver sends, with state, as a USB Audio
// Class 1.0 or 2.0 device would.
//
// The descriptors decide which entities exist and of what kind (and the AC
// interface number, class version, streaming interfaces and endpoints); the
// AudioFunctionConfig decides what each control answers, its access and its
// faults. A request the device does not understand, with a wrong length, to
// a missing entity or control, or against the control's access stalls.
//
// Thread-safe: requests may arrive from several threads at once.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <vector>

#include "sim/uac/audio_function_config.h"
#include "sim/uac/audio_function_layout.h"
#include "sim/usb/descriptor_set.h"
#include "sim/usb/sim_usb_device.h"

namespace sim {

// Codes on the wire.
namespace uac {
constexpr uint8_t kGetEntity = 0xA1;
constexpr uint8_t kSetEntity = 0x21;
constexpr uint8_t kGetEndpoint = 0xA2;
constexpr uint8_t kSetEndpoint = 0x22;
constexpr uint8_t kVendorSetInterface = 0x41;

constexpr uint8_t kCur = 0x01;  // class 2.0 CUR, class 1.0 SET_CUR
constexpr uint8_t kRange = 0x02;
constexpr uint8_t kGetCur1 = 0x81;
constexpr uint8_t kGetMin1 = 0x82;
constexpr uint8_t kGetMax1 = 0x83;
constexpr uint8_t kGetRes1 = 0x84;
constexpr uint8_t kVendorMode = 0x00;

constexpr uint8_t kSamFreqControl = 0x01;  // clock source, and class 1.0 endpoint
constexpr uint8_t kClockValidControl = 0x02;
constexpr uint8_t kClockSelectorControl = 0x01;
constexpr uint8_t kMuteControl = 0x01;
constexpr uint8_t kVolumeControl = 0x02;
}  // namespace uac

class AudioFunctionModel : public UsbFunction {
 public:
  struct Counters {
    uint64_t requests = 0;
    uint64_t stalls = 0;
  };

  AudioFunctionModel(const DescriptorSet& descriptors, AudioFunctionConfig config);

  using Clock = std::chrono::steady_clock;

  bool HandleControl(const SetupPacket& setup, uint8_t* data, uint32_t& transferred) override;
  // Follows the streaming interfaces' alternate settings (a rate change
  // under a running stream may be refused).
  void OnAlternateSelected(uint8_t interfaceNumber, uint8_t alternate) override;

  // The time clock settling is measured in (tests may drive it by hand).
  void SetTimeSource(std::function<Clock::time_point()> now);

  // What the descriptors told the model.
  const AudioFunctionLayout& Layout() const { return layout_; }
  bool IsUac2() const { return layout_.uac2; }
  uint8_t AcInterfaceNumber() const { return layout_.acInterface; }

  // State. Empty when the entity, channel or endpoint is not modelled.
  std::optional<uint32_t> ClockRate(uint8_t clockId) const;
  // Follows selectors (their selected pin) down to a clock source's rate.
  std::optional<uint32_t> EffectiveRate(uint8_t clockId) const;
  // Whether the clock source behind the clock (following selectors) is
  // valid; empty when it cannot be resolved.
  std::optional<bool> ClockValid(uint8_t clockId) const;
  std::optional<uint8_t> SelectorPin(uint8_t selectorId) const;
  std::optional<int16_t> Volume(uint8_t unitId, uint8_t channel) const;
  std::optional<bool> Mute(uint8_t unitId, uint8_t channel) const;
  std::optional<uint32_t> EndpointRate(uint8_t endpointAddress) const;
  uint16_t DeviceMode() const;  // the last mode accepted on any interface
  std::optional<uint16_t> InterfaceMode(uint8_t interfaceNumber) const;
  Counters GetCounters() const;
  AudioFunctionConfig Config() const;  // snapshot, state included

  // Faults and changes while running; `edit` runs under the model's lock and
  // must not call back into the model.
  void FailNextRequests(uint32_t count);
  void StallEntity(uint8_t entityId, bool stall = true);
  void SetClockValid(uint8_t clockId, bool valid);
  void Modify(const std::function<void(AudioFunctionConfig&)>& edit);

 private:
  using Bytes = std::vector<uint8_t>;

  bool Dispatch(const SetupPacket& setup, const uint8_t* out, Bytes& answer);
  bool EntityRequest(const SetupPacket& setup, const uint8_t* out, Bytes& answer);
  bool ClockSourceRequest(uint8_t id, const SetupPacket& setup, const uint8_t* out, Bytes& answer);
  bool ClockSelectorRequest(uint8_t id, const AcEntityInfo& entity, const SetupPacket& setup,
                            const uint8_t* out, Bytes& answer);
  bool FeatureUnitRequest(uint8_t id, const SetupPacket& setup, const uint8_t* out, Bytes& answer);
  bool EndpointRequest(const SetupPacket& setup, const uint8_t* out, Bytes& answer);
  bool VendorRequest(const SetupPacket& setup);
  void ApplyShortAnswer(const SetupPacket& setup, Bytes& answer) const;
  std::optional<uint32_t> EffectiveRateLocked(uint8_t clockId, int depth) const;
  std::optional<uint8_t> EffectiveSourceLocked(uint8_t clockId, int depth) const;
  bool SettlingLocked(uint8_t sourceId) const;
  bool StreamingOnLocked(uint8_t sourceId) const;

  const AudioFunctionLayout layout_;
  mutable std::mutex mutex_;
  AudioFunctionConfig config_;
  std::map<uint8_t, uint32_t> invalidReadsLeft_;  // by clock ID
  std::map<uint8_t, Clock::time_point> settledAt_;  // by clock ID: when the last relock ends
  std::map<uint8_t, uint8_t> alternates_;          // by streaming interface
  std::function<Clock::time_point()> now_ = [] { return Clock::now(); };
  std::map<uint8_t, uint16_t> interfaceModes_;
  Counters counters_;
};

}  // namespace sim
