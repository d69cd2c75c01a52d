// Full-speed class 1.0 device with render and capture. The capture endpoint
// lists two discrete rates but has no sampling-frequency control: it runs at
// the rate it runs at, so the host can only read that rate back.
#include "sim/profiles/profile_parts.h"
#include "sim/uac/descriptor_builder.h"

namespace sim {
namespace profiles {
namespace {

constexpr uint8_t kUsbInTerminal = 0x01;
constexpr uint8_t kSpeakerTerminal = 0x02;
constexpr uint8_t kMicTerminal = 0x03;
constexpr uint8_t kUsbOutTerminal = 0x04;
constexpr uint8_t kRenderEndpoint = 0x01;
constexpr uint8_t kCaptureEndpoint = 0x82;
constexpr uint8_t kChannels = 2;
constexpr uint8_t kSubframeBytes = 2;
constexpr uint32_t kCaptureRate = 48000;

// Room for the largest 1 ms frame at the highest rate plus one sample frame.
uint16_t MaxPacket(uint32_t maxRate) {
  return static_cast<uint16_t>(((maxRate + 999) / 1000 + 1) * kChannels * kSubframeBytes);
}

}  // namespace

void MakeUac1CaptureDevice(DeviceProfile& out) {
  DescriptorSet& d = out.descriptors;
  d = DescriptorSet{};
  d.highSpeed = false;
  d.strings[1] = u"Velmora";
  d.strings[2] = u"Velmora USB Audio FS";
  d.strings[3] = u"VM-000102";
  d.strings[4] = u"Velmora USB Audio";
  d.device = MakeDeviceDescriptor(kVelmoraVid, 0x4D06, 0x0100, 0x0110, 0, 0, 0, 64, 1, 2, 3, 1);

  const std::vector<uint32_t> rates{44100, 48000};

  ConfigurationBuilder b;
  b.Configuration(1, 0x80, 50);
  b.Interface(0, 0, 0, desc::kAudioClass, desc::kAudioControl, 0, 4);
  b.AcHeader1({1, 2});
  b.InputTerminal1(kUsbInTerminal, 0x0101, 0, kChannels, 0x0003);
  b.OutputTerminal1(kSpeakerTerminal, 0x0301, 0, kUsbInTerminal);
  b.InputTerminal1(kMicTerminal, 0x0201, 0, kChannels, 0x0003);
  b.OutputTerminal1(kUsbOutTerminal, 0x0101, 0, kMicTerminal);

  // Render: adaptive, the endpoint is told the rate.
  b.Interface(1, 0, 0, desc::kAudioClass, desc::kAudioStreaming, 0, 0);
  b.Interface(1, 1, 1, desc::kAudioClass, desc::kAudioStreaming, 0, 0);
  b.AsGeneral1(kUsbInTerminal, 1, 0x0001 /*PCM*/);
  b.FormatTypeI1(kChannels, kSubframeBytes, 16, rates);
  b.Endpoint9(kRenderEndpoint, 0x09, MaxPacket(rates.back()), 1, 0, 0);
  b.CsEndpoint1(0x01 /*sampling frequency control*/);

  // Capture: asynchronous, no sampling-frequency control.
  b.Interface(2, 0, 0, desc::kAudioClass, desc::kAudioStreaming, 0, 0);
  b.Interface(2, 1, 1, desc::kAudioClass, desc::kAudioStreaming, 0, 0);
  b.AsGeneral1(kUsbOutTerminal, 1, 0x0001 /*PCM*/);
  b.FormatTypeI1(kChannels, kSubframeBytes, 16, rates);
  b.Endpoint9(kCaptureEndpoint, 0x05, MaxPacket(rates.back()), 1, 0, 0);
  b.CsEndpoint1(0x00);
  d.configuration = b.Build();

  AudioFunctionConfig& a = out.audio;
  a = AudioFunctionConfig{};
  EndpointRateConfig render;
  render.currentRate = 48000;
  render.settable = true;
  render.rates = rates;
  a.endpointRates[kRenderEndpoint] = render;
  EndpointRateConfig capture;
  capture.currentRate = kCaptureRate;
  capture.settable = false;
  capture.rates = rates;
  a.endpointRates[kCaptureEndpoint] = capture;
  a.vendorModeAccepted = true;
}

}  // namespace profiles
}  // namespace sim
