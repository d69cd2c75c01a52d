// Class 2.0 high-speed device layouts shared by the default profile and its
// variants (DSD name, playback only, implicit feedback, clock selector and
// the vendor quirk devices).
#include <algorithm>

#include "sim/profiles/profile_parts.h"
#include "sim/uac/descriptor_builder.h"

namespace sim {
namespace profiles {
namespace {

// Entity IDs. A single clock, or the selector, always has kClock, so the
// terminals look the same in every variant.
constexpr uint8_t kRenderInputTerminal = 0x01;
constexpr uint8_t kFeatureUnit = 0x02;
constexpr uint8_t kSpeakerTerminal = 0x03;
constexpr uint8_t kLineInputTerminal = 0x04;
constexpr uint8_t kCaptureOutputTerminal = 0x05;
constexpr uint8_t kClock = 0x10;
constexpr uint8_t kClock441 = 0x11;
constexpr uint8_t kClock48 = 0x12;

constexpr uint8_t kRenderEndpoint = 0x01;
constexpr uint8_t kFeedbackEndpoint = 0x81;
constexpr uint8_t kCaptureEndpoint = 0x82;

// Endpoint bmAttributes: transfer type (1..0), synchronisation (3..2), usage (5..4).
constexpr uint8_t kIsoAsyncData = 0x05;
constexpr uint8_t kIsoAdaptiveData = 0x09;
constexpr uint8_t kIsoFeedback = 0x11;
constexpr uint8_t kIsoAsyncImplicitFeedbackData = 0x25;

// Clock source: internal programmable; frequency host-programmable, validity read-only.
constexpr uint8_t kClockAttributes = 0x03;
constexpr uint8_t kClockControls = 0x07;
constexpr uint8_t kSelectorControls = 0x03;

// Feature unit: master mute + volume read/write, channel volume read/write.
constexpr uint32_t kMasterControls = 0x0000000F;
constexpr uint32_t kChannelControls = 0x0000000C;

constexpr int16_t kVolumeMin = -32640;  // -127.5 dB
constexpr int16_t kVolumeMax = 0;
constexpr int16_t kVolumeRes = 128;  // 0.5 dB

constexpr uint8_t kChannels = 2;
constexpr uint32_t kFrontLeftRight = 0x00000003;

const std::vector<uint32_t> k441Family{44100, 88200, 176400, 352800};
const std::vector<uint32_t> k48Family{48000, 96000, 192000, 384000};
const std::vector<uint32_t> kAllRates{44100, 48000, 88200, 96000, 176400, 192000, 352800, 384000};

// Room for the largest packet (2^(bInterval-1) microframes at the highest
// rate) plus one extra sample frame.
uint16_t MaxPacket(const Uac2Layout& layout, const PcmFormat& f, bool lengthPrefix) {
  const uint32_t units = 1u << (layout.dataInterval - 1);
  const uint32_t frames = (layout.maxRate * units + 7999) / 8000 + 1;
  return HighSpeedMaxPacket(frames * kChannels * f.subslotBytes + (lengthPrefix ? 4 : 0));
}

std::vector<uint32_t> UpTo(const std::vector<uint32_t>& rates, uint32_t maxRate) {
  std::vector<uint32_t> out;
  for (uint32_t r : rates)
    if (r <= maxRate) out.push_back(r);
  return out;
}

ClockSourceConfig DiscreteClock(const std::vector<uint32_t>& rates, uint32_t current) {
  ClockSourceConfig c;
  for (uint32_t r : rates) c.ranges.push_back({r, r, 0});
  c.currentRate = current;
  c.frequency = ControlAccess::ReadWrite;
  c.validity = ControlAccess::Read;
  c.valid = true;
  return c;
}

FeatureChannelConfig VolumeChannel(bool withMute) {
  FeatureChannelConfig ch;
  ch.muteAccess = withMute ? ControlAccess::ReadWrite : ControlAccess::None;
  ch.volumeAccess = ControlAccess::ReadWrite;
  ch.volume = kVolumeMax;
  ch.volumeMin = kVolumeMin;
  ch.volumeMax = kVolumeMax;
  ch.volumeRes = kVolumeRes;
  return ch;
}

class StringTable {
 public:
  explicit StringTable(DescriptorSet& set) : set_(set) {}
  uint8_t Add(const std::u16string& text) {
    set_.strings[next_] = text;
    return next_++;
  }

 private:
  DescriptorSet& set_;
  uint8_t next_ = 1;
};

}  // namespace

uint16_t HighSpeedMaxPacket(uint32_t bytes) {
  const uint32_t transactions = std::max<uint32_t>(std::min<uint32_t>((bytes + 1023) / 1024, 3), 1);
  const uint32_t each = (bytes + transactions - 1) / transactions;
  return static_cast<uint16_t>(std::min<uint32_t>(each, 1024) | ((transactions - 1) << 11));
}

void MakeUac2Device(const Uac2Layout& layout, DeviceProfile& out) {
  DescriptorSet& d = out.descriptors;
  d = DescriptorSet{};
  d.highSpeed = true;
  StringTable strings(d);
  const uint8_t iManufacturer = strings.Add(u"Velmora");
  const uint8_t iProduct = strings.Add(layout.product);
  const uint8_t iSerial = strings.Add(u"VM-000142");
  const uint8_t iAc = strings.Add(layout.acInterfaceName);

  // Miscellaneous device class with interface association.
  d.device = MakeDeviceDescriptor(layout.vid, layout.pid, 0x0100, 0x0200, 0xEF, 0x02, 0x01, 64,
                                  iManufacturer, iProduct, iSerial, 1);

  const bool capture = !layout.captureFormats.empty();
  const uint8_t cls = layout.interfaceClass;
  const uint8_t acNumber = 0;
  const uint8_t renderNumber = 1;
  const uint8_t captureNumber = 2;
  const uint8_t audioInterfaces = capture ? 3 : 2;

  ConfigurationBuilder b;
  b.Configuration(1, 0xC0, 50);
  b.InterfaceAssociation(acNumber, audioInterfaces, cls, 0x00, desc::kProtocolUac2, iProduct);
  b.Interface(acNumber, 0, 0, cls, desc::kAudioControl, desc::kProtocolUac2, iAc);
  b.AcHeader2(capture ? 0x08 /*I/O box*/ : 0x06 /*converter*/);

  if (layout.clockSelector) {
    const uint8_t i441 = strings.Add(u"Velmora 44.1 kHz Clock");
    const uint8_t i48 = strings.Add(u"Velmora 48 kHz Clock");
    const uint8_t iSel = strings.Add(u"Velmora Clock Selector");
    b.ClockSource(kClock441, kClockAttributes, kClockControls, 0, i441);
    b.ClockSource(kClock48, kClockAttributes, kClockControls, 0, i48);
    b.ClockSelector(kClock, {kClock441, kClock48}, kSelectorControls, iSel);
  } else {
    const uint8_t iClock = strings.Add(u"Velmora Internal Clock");
    b.ClockSource(kClock, kClockAttributes, kClockControls, 0, iClock);
  }

  b.InputTerminal2(kRenderInputTerminal, 0x0101, 0, kClock, kChannels, kFrontLeftRight);
  b.FeatureUnit2(kFeatureUnit, kRenderInputTerminal,
                 {kMasterControls, kChannelControls, kChannelControls});
  b.OutputTerminal2(kSpeakerTerminal, 0x0301, 0, kFeatureUnit, kClock);
  if (capture) {
    b.InputTerminal2(kLineInputTerminal, 0x0603, 0, kClock, kChannels, kFrontLeftRight);
    b.OutputTerminal2(kCaptureOutputTerminal, 0x0101, 0, kLineInputTerminal, kClock);
  }

  // Render streaming interface.
  const uint8_t iRender = strings.Add(u"Velmora Playback");
  const bool explicitFeedback = layout.renderSync == RenderSync::ExplicitFeedback;
  const uint8_t renderAttributes =
      layout.renderSync == RenderSync::None ? kIsoAdaptiveData : kIsoAsyncData;
  b.Interface(renderNumber, 0, 0, cls, desc::kAudioStreaming, desc::kProtocolUac2, iRender);
  uint8_t alt = 1;
  for (const PcmFormat& f : layout.renderFormats) {
    b.Interface(renderNumber, alt++, explicitFeedback ? 2 : 1, cls, desc::kAudioStreaming,
                desc::kProtocolUac2, iRender);
    b.AsGeneral2(kRenderInputTerminal, 0, desc::kFormatTypeI, 0x00000001 /*PCM*/, kChannels,
                 kFrontLeftRight);
    b.FormatTypeI2(f.subslotBytes, f.bitResolution);
    b.Endpoint(kRenderEndpoint, renderAttributes, MaxPacket(layout, f, layout.lengthPrefixedOut),
               layout.dataInterval);
    b.CsEndpoint2();
    if (explicitFeedback) b.Endpoint(kFeedbackEndpoint, kIsoFeedback, 4, layout.feedbackInterval);
  }

  // Capture streaming interface.
  if (capture) {
    const uint8_t iCapture = strings.Add(u"Velmora Capture");
    const uint8_t captureAttributes = layout.renderSync == RenderSync::ImplicitFromCapture
                                          ? kIsoAsyncImplicitFeedbackData
                                          : kIsoAsyncData;
    b.Interface(captureNumber, 0, 0, cls, desc::kAudioStreaming, desc::kProtocolUac2, iCapture);
    alt = 1;
    for (const PcmFormat& f : layout.captureFormats) {
      b.Interface(captureNumber, alt++, 1, cls, desc::kAudioStreaming, desc::kProtocolUac2,
                  iCapture);
      b.AsGeneral2(kCaptureOutputTerminal, 0, desc::kFormatTypeI, 0x00000001, kChannels,
                   kFrontLeftRight);
      b.FormatTypeI2(f.subslotBytes, f.bitResolution);
      b.Endpoint(kCaptureEndpoint, captureAttributes, MaxPacket(layout, f, false), layout.dataInterval);
      b.CsEndpoint2();
    }
  }

  // Firmware update interface outside the audio function.
  if (layout.dfuInterface) {
    const uint8_t iDfu = strings.Add(u"Velmora Firmware Update");
    b.Interface(audioInterfaces, 0, 0, 0xFE, 0x01, 0x01, iDfu);
    // DFU functional descriptor: will detach, manifestation tolerant, can download;
    // detach timeout 250 ms, transfer size 64, DFU 1.1.
    b.Raw({0x09, 0x21, 0x0D, 0xFA, 0x00, 0x40, 0x00, 0x10, 0x01});
  }

  d.configuration = b.Build();

  AudioFunctionConfig& a = out.audio;
  a = AudioFunctionConfig{};
  if (layout.clockSelector) {
    a.clockSources[kClock441] = DiscreteClock(UpTo(k441Family, layout.maxRate), 44100);
    a.clockSources[kClock48] = DiscreteClock(UpTo(k48Family, layout.maxRate), 48000);
    ClockSelectorConfig sel;
    sel.currentPin = 2;
    sel.selector = ControlAccess::ReadWrite;
    a.clockSelectors[kClock] = sel;
  } else {
    a.clockSources[kClock] = DiscreteClock(UpTo(kAllRates, layout.maxRate), 48000);
  }
  FeatureUnitConfig fu;
  fu.channels = {VolumeChannel(true), VolumeChannel(false), VolumeChannel(false)};
  a.featureUnits[kFeatureUnit] = fu;
  a.vendorModeAccepted = true;
  a.deviceMode = 0;
  a.lengthPrefixedOutPackets = layout.lengthPrefixedOut;
}

}  // namespace profiles
}  // namespace sim
