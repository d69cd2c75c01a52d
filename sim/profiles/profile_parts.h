// Internal to sim/profiles: the parameterised device layouts the named
// profiles are made from.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sim/profiles/device_profile.h"

namespace sim {
namespace profiles {

constexpr uint16_t kVelmoraVid = 0x1FA7;

// One PCM alternate setting of a streaming interface (2 channels).
struct PcmFormat {
  uint8_t subslotBytes;
  uint8_t bitResolution;
};

enum class RenderSync {
  ExplicitFeedback,     // async OUT endpoint + feedback IN endpoint
  ImplicitFromCapture,  // async OUT endpoint paced by the capture data endpoint
  None,                 // adaptive OUT endpoint, host sends nominal packet sizes
};

// A class 2.0 high-speed function: AC interface, render AS interface and
// optionally a capture AS interface, optionally a trailing DFU interface.
struct Uac2Layout {
  uint16_t vid = kVelmoraVid;
  uint16_t pid = 0x4D02;
  std::u16string product = u"Velmora USB DAC";
  std::u16string acInterfaceName = u"Velmora USB Audio";
  uint8_t interfaceClass = 0x01;  // 0xFF for the vendor-specific variant
  RenderSync renderSync = RenderSync::ExplicitFeedback;
  bool clockSelector = false;  // two family clocks behind a selector
  bool lengthPrefixedOut = false;
  bool dfuInterface = false;
  std::vector<PcmFormat> renderFormats{{2, 16}, {4, 24}, {4, 32}};
  std::vector<PcmFormat> captureFormats{{2, 16}, {4, 24}};  // empty: no capture
  // bInterval of the data endpoints (both directions) and of the feedback
  // endpoint: a packet every 2^(bInterval-1) microframes.
  uint8_t dataInterval = 1;
  uint8_t feedbackInterval = 4;
  uint32_t maxRate = 384000;  // the clock offers the rates up to this one
};

void MakeUac2Device(const Uac2Layout& layout, DeviceProfile& out);

// Class 1.0 playback device with a 3-byte synch endpoint sending 10.14
// frames per 1 ms frame: at full speed, or at high speed with one data and
// one synch packet per frame (bInterval 4).
void MakeUac1FullSpeedDevice(DeviceProfile& out);
void MakeUac1HighSpeedDevice(DeviceProfile& out);

// wMaxPacketSize for `bytes` per packet at high speed: up to three
// transactions of at most 1024 bytes (bits 12..11 count the extra ones).
uint16_t HighSpeedMaxPacket(uint32_t bytes);

// Full-speed class 1.0 render and capture; the capture endpoint has two
// discrete rates and no sampling-frequency control.
void MakeUac1CaptureDevice(DeviceProfile& out);

}  // namespace profiles
}  // namespace sim
