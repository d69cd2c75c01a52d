// Volume and mute of the feature-unit nodes through the adapter's node
// property front end: the exact basic-support layouts, the unit conversions
// in both directions (what goes over the wire), channel numbering and the
// refusals.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "driver/uac/property_handlers.h"
#include "tests/driver/adapter_fixture.h"

namespace drivertest {
namespace {

constexpr uint8_t kFeatureUnit = 0x02;  // the default device's render feature unit
constexpr LONG kKsSilence = static_cast<LONG>(0x80000000);
constexpr ULONG kGetSetSupport = KSPROPERTY_TYPE_BASICSUPPORT | KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET;

// A property request as the port library hands it to a node handler.
struct NodeRequest {
  PCPROPERTY_ITEM item{};
  LONG instance[2] = {0, 0};  // channel, reserved
  std::vector<uint8_t> value;
  PCPROPERTY_REQUEST request{};

  NodeRequest(ULONG id, ULONG node, ULONG verb, LONG channel, ULONG valueSize) : value(valueSize + 8, 0xCD) {
    item.Set = &KSPROPSETID_Audio;
    item.Id = id;
    item.Flags = kGetSetSupport;
    item.Handler = PropertyHandler_Node;
    instance[0] = channel;
    request.Node = node;
    request.PropertyItem = &item;
    request.Verb = verb;
    request.InstanceSize = sizeof(instance);
    request.Instance = instance;
    request.ValueSize = valueSize;
    request.Value = valueSize != 0 ? value.data() : nullptr;
  }
  LONG Long() const {
    LONG v;
    memcpy(&v, value.data(), sizeof v);
    return v;
  }
  void SetLong(LONG v) { memcpy(value.data(), &v, sizeof v); }
  template <typename T>
  T At(size_t offset) const {
    T v;
    memcpy(&v, value.data() + offset, sizeof v);
    return v;
  }
};

// Volume SET requests (CUR of the volume control) the device received, as
// {channel, value} in order.
std::vector<std::pair<int, int16_t>> VolumeWrites(const std::vector<sim::ControlLogEntry>& log) {
  std::vector<std::pair<int, int16_t>> writes;
  for (const sim::ControlLogEntry& e : log) {
    if (e.setup.bmRequestType == 0x21 && e.setup.bRequest == 0x01 && (e.setup.wValue >> 8) == 0x02 &&
        (e.setup.wIndex >> 8) == kFeatureUnit && e.data.size() == 2) {
      writes.emplace_back(e.setup.wValue & 0xFF, static_cast<int16_t>(e.data[0] | (e.data[1] << 8)));
    }
  }
  return writes;
}

class NodePropertyTest : public AdapterTest {
 protected:
  void SetUp() override {
    AdapterTest::SetUp();
    ASSERT_EQ(StartAdapter("default"), STATUS_SUCCESS);
    volumeNode_ = FindNode(KSNODETYPE_VOLUME);
    muteNode_ = FindNode(KSNODETYPE_MUTE);
    dacNode_ = FindNode(KSNODETYPE_DAC);
    ASSERT_NE(volumeNode_, 0xFFFFFFFFu);
    ASSERT_NE(muteNode_, 0xFFFFFFFFu);
    ASSERT_NE(dacNode_, 0xFFFFFFFFu);
  }

  NTSTATUS Run(NodeRequest& r) { return adapter_->PropertyHandler_Node(&r.request); }

  NTSTATUS SetVolume(LONG channel, LONG value) {
    NodeRequest r(KSPROPERTY_AUDIO_VOLUMELEVEL, volumeNode_, KSPROPERTY_TYPE_SET, channel, 4);
    r.SetLong(value);
    return Run(r);
  }

  NTSTATUS GetVolume(LONG channel, LONG* value) {
    NodeRequest r(KSPROPERTY_AUDIO_VOLUMELEVEL, volumeNode_, KSPROPERTY_TYPE_GET, channel, 4);
    const NTSTATUS status = Run(r);
    EXPECT_EQ(r.request.ValueSize, 4u);
    *value = r.Long();
    return status;
  }

  void SetDeviceVolume(uint8_t channel, int16_t volume) {
    model_->Modify([&](sim::AudioFunctionConfig& c) { c.featureUnits[kFeatureUnit].channels[channel].volume = volume; });
  }

  ULONG volumeNode_ = 0;
  ULONG muteNode_ = 0;
  ULONG dacNode_ = 0;
};

TEST_F(NodePropertyTest, VolumeBasicSupportDescribesEveryChannelsSteppedRange) {
  // Too small for anything.
  NodeRequest tiny(KSPROPERTY_AUDIO_VOLUMELEVEL, volumeNode_, KSPROPERTY_TYPE_BASICSUPPORT, 0, 3);
  EXPECT_EQ(Run(tiny), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(tiny.request.ValueSize, 0u);

  // Room for the access flags only.
  NodeRequest flags(KSPROPERTY_AUDIO_VOLUMELEVEL, volumeNode_, KSPROPERTY_TYPE_BASICSUPPORT, 0, 4);
  ASSERT_EQ(Run(flags), STATUS_SUCCESS);
  EXPECT_EQ(flags.request.ValueSize, 4u);
  EXPECT_EQ(flags.At<ULONG>(0), 0x203u);
  EXPECT_EQ(flags.value[4], 0xCD) << "wrote past the access flags";

  // Room for the description header but not the ranges: header only, and
  // it names the size a full answer needs (two channels: 40 + 16 + 2 x 16).
  NodeRequest header(KSPROPERTY_AUDIO_VOLUMELEVEL, volumeNode_, KSPROPERTY_TYPE_BASICSUPPORT, 0, 87);
  ASSERT_EQ(Run(header), STATUS_SUCCESS);
  EXPECT_EQ(header.request.ValueSize, 40u);
  EXPECT_EQ(header.At<ULONG>(0), 0x203u);
  EXPECT_EQ(header.At<ULONG>(4), 88u);
  EXPECT_TRUE(IsEqualGUID(header.At<GUID>(8), KSPROPTYPESETID_General));
  EXPECT_EQ(header.At<ULONG>(24), 3u);  // VT_I4
  EXPECT_EQ(header.At<ULONG>(28), 0u);
  EXPECT_EQ(header.At<ULONG>(32), 1u);  // one members list
  EXPECT_EQ(header.At<ULONG>(36), 0u);
  EXPECT_EQ(header.value[40], 0xCD) << "wrote past the header";

  // The full description: stepped ranges per KS channel, in 1/65536 dB.
  NodeRequest full(KSPROPERTY_AUDIO_VOLUMELEVEL, volumeNode_, KSPROPERTY_TYPE_BASICSUPPORT, 0, 88);
  ASSERT_EQ(Run(full), STATUS_SUCCESS);
  EXPECT_EQ(full.request.ValueSize, 88u);
  EXPECT_EQ(full.At<ULONG>(40), 2u);   // KSPROPERTY_MEMBER_STEPPEDRANGES
  EXPECT_EQ(full.At<ULONG>(44), 16u);  // MembersSize
  EXPECT_EQ(full.At<ULONG>(48), 2u);   // MembersCount
  EXPECT_EQ(full.At<ULONG>(52), 2u);   // BASICSUPPORT_MULTICHANNEL
  for (size_t ch = 0; ch < 2; ++ch) {
    const size_t at = 56 + 16 * ch;
    EXPECT_EQ(full.At<ULONG>(at), 128u * 256) << "channel " << ch;     // 0.5 dB steps
    EXPECT_EQ(full.At<ULONG>(at + 4), 0u) << "channel " << ch;
    EXPECT_EQ(full.At<LONG>(at + 8), -32640 * 256) << "channel " << ch;  // -127.5 dB
    EXPECT_EQ(full.At<LONG>(at + 12), 0) << "channel " << ch;
  }
  // The ranges come from USB channels 1 and 2, never the master.
  std::vector<int> rangeChannels;
  for (const sim::ControlLogEntry& e : Requests()) {
    if (e.setup.bmRequestType == 0xA1 && e.setup.bRequest == 0x02 && (e.setup.wValue >> 8) == 0x02 &&
        (e.setup.wIndex >> 8) == kFeatureUnit) {
      rangeChannels.push_back(e.setup.wValue & 0xFF);
    }
  }
  EXPECT_EQ(rangeChannels, (std::vector<int>{1, 2}));
}

TEST_F(NodePropertyTest, VolumeBasicSupportStopsAtTheFirstFailingRange) {
  model_->Modify([](sim::AudioFunctionConfig& c) {
    c.featureUnits[kFeatureUnit].channels[2].volumeAccess = sim::ControlAccess::None;
  });
  NodeRequest full(KSPROPERTY_AUDIO_VOLUMELEVEL, volumeNode_, KSPROPERTY_TYPE_BASICSUPPORT, 0, 88);
  EXPECT_FALSE(NT_SUCCESS(Run(full)));
  EXPECT_EQ(full.request.ValueSize, 88u);
  EXPECT_EQ(full.At<LONG>(56 + 8), -32640 * 256) << "the first channel's range is still there";
}

TEST_F(NodePropertyTest, MuteBasicSupportDescribesABooleanPerChannel) {
  NodeRequest flags(KSPROPERTY_AUDIO_MUTE, muteNode_, KSPROPERTY_TYPE_BASICSUPPORT, 0, 39);
  ASSERT_EQ(Run(flags), STATUS_SUCCESS);
  EXPECT_EQ(flags.request.ValueSize, 4u);
  EXPECT_EQ(flags.At<ULONG>(0), 0x203u);

  NodeRequest header(KSPROPERTY_AUDIO_MUTE, muteNode_, KSPROPERTY_TYPE_BASICSUPPORT, 0, 40);
  ASSERT_EQ(Run(header), STATUS_SUCCESS);
  EXPECT_EQ(header.request.ValueSize, 40u);
  EXPECT_EQ(header.At<ULONG>(4), 60u);
  EXPECT_EQ(header.At<ULONG>(24), 11u);  // VT_BOOL

  NodeRequest full(KSPROPERTY_AUDIO_MUTE, muteNode_, KSPROPERTY_TYPE_BASICSUPPORT, 0, 60);
  ASSERT_EQ(Run(full), STATUS_SUCCESS);
  EXPECT_EQ(full.request.ValueSize, 60u);
  EXPECT_EQ(full.At<ULONG>(40), 3u);  // KSPROPERTY_MEMBER_VALUES
  EXPECT_EQ(full.At<ULONG>(44), 0u);
  EXPECT_EQ(full.At<ULONG>(48), 2u);
  EXPECT_EQ(full.At<ULONG>(52), 6u);  // MULTICHANNEL | UNIFORM

  NodeRequest tiny(KSPROPERTY_AUDIO_MUTE, muteNode_, KSPROPERTY_TYPE_BASICSUPPORT, 0, 2);
  EXPECT_EQ(Run(tiny), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(tiny.request.ValueSize, 0u);
}

TEST_F(NodePropertyTest, VolumeConvertsBetweenKsAndUsbUnitsExactly) {
  // -10 dB goes out as -2560 (0xF600), and comes back as -10 dB.
  device_->ClearControlLog();
  ASSERT_EQ(SetVolume(0, -655360), STATUS_SUCCESS);
  EXPECT_EQ(VolumeWrites(Requests()), (std::vector<std::pair<int, int16_t>>{{1, -2560}}));
  LONG value = 0;
  ASSERT_EQ(GetVolume(0, &value), STATUS_SUCCESS);
  EXPECT_EQ(value, -655360);

  // Every value the device can report maps back onto itself, negative odd
  // steps included (where rounding toward zero would be one step off).
  model_->Modify([](sim::AudioFunctionConfig& c) {
    for (auto& ch : c.featureUnits[kFeatureUnit].channels) {
      ch.volumeMin = -32768;
      ch.volumeMax = 32767;
    }
  });
  for (int16_t usb : {-32767, -12345, -2561, -255, -129, -128, -127, -1, 1, 127, 128, 255, 4097, 32767}) {
    SetDeviceVolume(2, usb);
    ASSERT_EQ(GetVolume(1, &value), STATUS_SUCCESS);
    EXPECT_EQ(value, usb * 256) << usb;
    device_->ClearControlLog();
    ASSERT_EQ(SetVolume(1, value), STATUS_SUCCESS);
    EXPECT_EQ(VolumeWrites(Requests()), (std::vector<std::pair<int, int16_t>>{{2, usb}})) << usb;
  }

  // Values between steps go to the nearest step, a half step upwards.
  const std::pair<LONG, int16_t> rounding[] = {
      {-655360 - 127, -2560}, {-655360 - 128, -2560}, {-655360 - 129, -2561},
      {127, 0},               {128, 1},               {-128, 0},
      {-129, -1},             {0x7FFFFFFF, 32767},    {-0x7FFFFFFF, -32768},
  };
  for (const auto& [ks, usb] : rounding) {
    device_->ClearControlLog();
    ASSERT_EQ(SetVolume(0, ks), STATUS_SUCCESS);
    EXPECT_EQ(VolumeWrites(Requests()), (std::vector<std::pair<int, int16_t>>{{1, usb}})) << ks;
  }

  // Silence both ways.
  device_->ClearControlLog();
  ASSERT_EQ(SetVolume(0, kKsSilence), STATUS_SUCCESS);
  EXPECT_EQ(VolumeWrites(Requests()), (std::vector<std::pair<int, int16_t>>{{1, -32768}}));
  SetDeviceVolume(1, -32768);
  ASSERT_EQ(GetVolume(0, &value), STATUS_SUCCESS);
  EXPECT_EQ(value, kKsSilence);
}

TEST_F(NodePropertyTest, VolumeOnAllChannelsWritesEachInOrderAndStopsAtTheFirstFailure) {
  device_->ClearControlLog();
  ASSERT_EQ(SetVolume(-1, -655360), STATUS_SUCCESS);
  EXPECT_EQ(VolumeWrites(Requests()), (std::vector<std::pair<int, int16_t>>{{1, -2560}, {2, -2560}}));
  EXPECT_EQ(model_->Volume(kFeatureUnit, 0), 0) << "the master channel is not a KS channel";

  // Channel 1 fails: channel 2 is not touched.
  model_->FailNextRequests(1);
  EXPECT_FALSE(NT_SUCCESS(SetVolume(-1, -1310720)));
  EXPECT_EQ(model_->Volume(kFeatureUnit, 1), -2560);
  EXPECT_EQ(model_->Volume(kFeatureUnit, 2), -2560);

  // Channel 2 fails: channel 1 was written first, and the failure is returned.
  model_->Modify([](sim::AudioFunctionConfig& c) {
    c.featureUnits[kFeatureUnit].channels[2].volumeAccess = sim::ControlAccess::None;
  });
  EXPECT_FALSE(NT_SUCCESS(SetVolume(-1, -1310720)));
  EXPECT_EQ(model_->Volume(kFeatureUnit, 1), -5120);
}

TEST_F(NodePropertyTest, ChannelNumbering) {
  LONG value = 0;
  // A volume GET names one channel; "all channels" has no single value.
  EXPECT_EQ(GetVolume(-1, &value), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(value, kKsSilence);
  EXPECT_EQ(GetVolume(2, &value), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(SetVolume(2, 0), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(SetVolume(-2, 0), STATUS_INVALID_PARAMETER);

  // Mute lives on the master channel, whichever channel is named.
  model_->Modify([](sim::AudioFunctionConfig& c) { c.featureUnits[kFeatureUnit].channels[0].mute = true; });
  NodeRequest getAll(KSPROPERTY_AUDIO_MUTE, muteNode_, KSPROPERTY_TYPE_GET, -1, 4);
  ASSERT_EQ(Run(getAll), STATUS_SUCCESS);
  EXPECT_EQ(getAll.Long(), 1);
  EXPECT_EQ(getAll.request.ValueSize, 4u);

  NodeRequest set(KSPROPERTY_AUDIO_MUTE, muteNode_, KSPROPERTY_TYPE_SET, 1, 4);
  set.SetLong(0x100);  // only the low byte goes out
  ASSERT_EQ(Run(set), STATUS_SUCCESS);
  EXPECT_EQ(model_->Mute(kFeatureUnit, 0), false);

  NodeRequest outside(KSPROPERTY_AUDIO_MUTE, muteNode_, KSPROPERTY_TYPE_GET, 2, 4);
  EXPECT_EQ(Run(outside), STATUS_INVALID_PARAMETER);
  NodeRequest below(KSPROPERTY_AUDIO_MUTE, muteNode_, KSPROPERTY_TYPE_SET, -2, 4);
  EXPECT_EQ(Run(below), STATUS_INVALID_PARAMETER);

  // A failing mute read reports "not muted" with the failure.
  model_->FailNextRequests(1);
  NodeRequest failing(KSPROPERTY_AUDIO_MUTE, muteNode_, KSPROPERTY_TYPE_GET, 0, 4);
  failing.SetLong(7);
  EXPECT_FALSE(NT_SUCCESS(Run(failing)));
  EXPECT_EQ(failing.Long(), 0);
}

TEST_F(NodePropertyTest, RefusedRequests) {
  // The filter itself has no node properties.
  NodeRequest filter(KSPROPERTY_AUDIO_VOLUMELEVEL, 0xFFFFFFFF, KSPROPERTY_TYPE_GET, 0, 4);
  EXPECT_EQ(Run(filter), STATUS_UNSUCCESSFUL);
  // Other audio properties are not served.
  NodeRequest bass(KSPROPERTY_AUDIO_BASS, volumeNode_, KSPROPERTY_TYPE_GET, 0, 4);
  EXPECT_EQ(Run(bass), STATUS_UNSUCCESSFUL);
  // A node without a feature unit, and one past the end.
  NodeRequest dac(KSPROPERTY_AUDIO_VOLUMELEVEL, dacNode_, KSPROPERTY_TYPE_GET, 0, 4);
  EXPECT_EQ(Run(dac), STATUS_INVALID_PARAMETER);
  NodeRequest dacSupport(KSPROPERTY_AUDIO_VOLUMELEVEL, dacNode_, KSPROPERTY_TYPE_BASICSUPPORT, 0, 88);
  EXPECT_EQ(Run(dacSupport), STATUS_UNSUCCESSFUL);
  const ULONG past = adapter_->GetFilterDescriptor()->NodeCount;
  NodeRequest beyond(KSPROPERTY_AUDIO_MUTE, past, KSPROPERTY_TYPE_GET, 0, 4);
  EXPECT_EQ(Run(beyond), STATUS_INVALID_PARAMETER);
  NodeRequest beyondSupport(KSPROPERTY_AUDIO_MUTE, past, KSPROPERTY_TYPE_BASICSUPPORT, 0, 60);
  EXPECT_EQ(Run(beyondSupport), STATUS_UNSUCCESSFUL);

  // Buffers that cannot hold the channel or the value.
  NodeRequest noValue(KSPROPERTY_AUDIO_VOLUMELEVEL, volumeNode_, KSPROPERTY_TYPE_GET, 0, 0);
  EXPECT_EQ(Run(noValue), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(noValue.request.ValueSize, 4u);
  NodeRequest shortValue(KSPROPERTY_AUDIO_VOLUMELEVEL, volumeNode_, KSPROPERTY_TYPE_SET, 0, 2);
  EXPECT_EQ(Run(shortValue), STATUS_BUFFER_TOO_SMALL);
  NodeRequest noInstance(KSPROPERTY_AUDIO_MUTE, muteNode_, KSPROPERTY_TYPE_SET, 0, 4);
  noInstance.request.InstanceSize = 0;
  EXPECT_EQ(Run(noInstance), STATUS_INVALID_PARAMETER);
}

}  // namespace
}  // namespace drivertest
