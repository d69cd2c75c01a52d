// Class 1.0 playback devices: asynchronous data endpoint with a separate
// synch endpoint carrying the 10.14 rate feedback (frames per 1 ms frame),
// at full speed or at high speed with one packet of each per frame.
#include "sim/profiles/profile_parts.h"
#include "sim/uac/descriptor_builder.h"

namespace sim {
namespace profiles {
namespace {

constexpr uint8_t kInputTerminal = 0x01;
constexpr uint8_t kFeatureUnit = 0x02;
constexpr uint8_t kSpeakerTerminal = 0x03;
constexpr uint8_t kDataEndpoint = 0x01;
constexpr uint8_t kSynchEndpoint = 0x81;
constexpr uint8_t kChannels = 2;

// Room for the largest 1 ms frame at the highest rate plus one sample frame.
uint16_t MaxPacket(uint32_t maxRate, uint8_t subframeBytes) {
  return static_cast<uint16_t>(((maxRate + 999) / 1000 + 1) * kChannels * subframeBytes);
}

}  // namespace

namespace {

void MakeUac1Device(bool highSpeed, DeviceProfile& out) {
  DescriptorSet& d = out.descriptors;
  d = DescriptorSet{};
  d.highSpeed = highSpeed;
  d.strings[1] = u"Velmora";
  d.strings[2] = highSpeed ? u"Velmora USB DAC HS" : u"Velmora USB DAC FS";
  d.strings[3] = highSpeed ? u"VM-000102" : u"VM-000101";
  d.strings[4] = u"Velmora USB Audio";
  d.strings[5] = u"Velmora Playback";
  d.device = MakeDeviceDescriptor(kVelmoraVid, highSpeed ? 0x4D06 : 0x4D01, 0x0100, highSpeed ? 0x0200 : 0x0110,
                                  0, 0, 0, 64, 1, 2, 3, 1);
  // At high speed a packet every 2^(4-1) microframes: one per 1 ms frame.
  const uint8_t interval = highSpeed ? 4 : 1;

  const std::vector<uint32_t> rates16{44100, 48000};
  const std::vector<uint32_t> rates24{44100, 48000, 96000};

  ConfigurationBuilder b;
  b.Configuration(1, 0x80, 50);
  b.Interface(0, 0, 0, desc::kAudioClass, desc::kAudioControl, 0, 4);
  b.AcHeader1({1});
  b.InputTerminal1(kInputTerminal, 0x0101, 0, kChannels, 0x0003);
  // bControlSize 2; master: mute (bit 0) and volume (bit 1); channels: none.
  b.FeatureUnit1(kFeatureUnit, kInputTerminal, 2, {0x0003, 0x0000, 0x0000});
  b.OutputTerminal1(kSpeakerTerminal, 0x0301, 0, kFeatureUnit);

  b.Interface(1, 0, 0, desc::kAudioClass, desc::kAudioStreaming, 0, 5);
  struct Alt {
    uint8_t subframe;
    uint8_t bits;
    const std::vector<uint32_t>* rates;
  };
  const Alt alts[] = {{2, 16, &rates16}, {3, 24, &rates24}};
  uint8_t number = 1;
  for (const Alt& alt : alts) {
    b.Interface(1, number++, 2, desc::kAudioClass, desc::kAudioStreaming, 0, 5);
    b.AsGeneral1(kInputTerminal, 1, 0x0001 /*PCM*/);
    b.FormatTypeI1(kChannels, alt.subframe, alt.bits, *alt.rates);
    // Isochronous, asynchronous; feedback through the synch endpoint.
    b.Endpoint9(kDataEndpoint, 0x05, MaxPacket(alt.rates->back(), alt.subframe), interval, 0,
                kSynchEndpoint);
    b.CsEndpoint1(0x01 /*sampling frequency control*/);
    // Isochronous, no synchronisation; 3-byte 10.14 value refreshed every 2^5 ms.
    b.Endpoint9(kSynchEndpoint, 0x01, 3, interval, 5, 0);
  }
  d.configuration = b.Build();

  AudioFunctionConfig& a = out.audio;
  a = AudioFunctionConfig{};
  FeatureChannelConfig master;
  master.muteAccess = ControlAccess::ReadWrite;
  master.volumeAccess = ControlAccess::ReadWrite;
  master.volume = 0;
  master.volumeMin = -32640;
  master.volumeMax = 0;
  master.volumeRes = 128;
  FeatureUnitConfig fu;
  fu.channels = {master, FeatureChannelConfig{}, FeatureChannelConfig{}};
  a.featureUnits[kFeatureUnit] = fu;
  EndpointRateConfig ep;
  ep.currentRate = 48000;
  ep.settable = true;
  ep.rates = rates24;
  a.endpointRates[kDataEndpoint] = ep;
  a.vendorModeAccepted = true;
}

}  // namespace

void MakeUac1FullSpeedDevice(DeviceProfile& out) { MakeUac1Device(false, out); }

void MakeUac1HighSpeedDevice(DeviceProfile& out) { MakeUac1Device(true, out); }

}  // namespace profiles
}  // namespace sim
