// The "Wave" filter of the started driver, used the way the Windows audio
// stack uses it: node properties, the component id, format negotiation on
// the render pin, and a render pin whose stream is created, refuses to run
// without streaming threads, and goes away cleanly.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "tests/driver/started_driver_fixture.h"
#include "tests/support/ks_requests.h"

namespace drivertest {
namespace {

// The default device's filter: pins in terminal order, nodes ADC, DAC, then
// the feature unit's mute and volume.
constexpr ULONG kRenderPin = 0;
constexpr ULONG kMuteNode = 2;
constexpr ULONG kVolumeNode = 3;
constexpr uint8_t kFeatureUnit = 0x02;
constexpr uint8_t kRenderInterface = 1;

using ks_requests::NodeProperty;
using ks_requests::Property;

std::vector<UCHAR> PinConnect(ULONG pin, WORD channels, WORD bits, ULONG rate) {
  return ks_requests::PcmPinConnect(pin, channels, bits, rate);
}

class WaveFilterTest : public DriverOnBusTest {
 protected:
  void SetUp() override {
    DriverOnBusTest::SetUp();
    ASSERT_EQ(LoadAddStart(), STATUS_SUCCESS);
    filter_ = OpenFilter();
    ASSERT_NE(filter_, nullptr);
  }

  NTSTATUS CreatePin(const std::vector<UCHAR>& connect, HANDLE* pin) {
    *pin = nullptr;
    const NTSTATUS status = platform::KsCreatePin(filter_, connect.data(), static_cast<ULONG>(connect.size()), pin);
    if (*pin) handles_.push_back(*pin);
    return status;
  }

  NTSTATUS SetPinState(HANDLE pin, KSSTATE state) {
    return Request(pin, Property(KSPROPSETID_Connection, KSPROPERTY_CONNECTION_STATE, KSPROPERTY_TYPE_SET), &state,
                   sizeof state);
  }

  KSSTATE PinState(HANDLE pin) {
    KSSTATE state = static_cast<KSSTATE>(-1);
    EXPECT_EQ(Request(pin, Property(KSPROPSETID_Connection, KSPROPERTY_CONNECTION_STATE, KSPROPERTY_TYPE_GET), &state,
                      sizeof state),
              STATUS_SUCCESS);
    return state;
  }

  HANDLE filter_ = nullptr;
};

TEST_F(WaveFilterTest, VolumeAndMuteReachTheDevice) {
  LONG value = -655360;
  ASSERT_EQ(Request(filter_, NodeProperty(KSPROPERTY_AUDIO_VOLUMELEVEL, kVolumeNode, 1, KSPROPERTY_TYPE_SET), &value,
                    sizeof value),
            STATUS_SUCCESS);
  EXPECT_EQ(model_->Volume(kFeatureUnit, 2), -2560);
  EXPECT_EQ(model_->Volume(kFeatureUnit, 1), 0);
  value = 0;
  ULONG bytes = 0;
  ASSERT_EQ(Request(filter_, NodeProperty(KSPROPERTY_AUDIO_VOLUMELEVEL, kVolumeNode, 1, KSPROPERTY_TYPE_GET), &value,
                    sizeof value, &bytes),
            STATUS_SUCCESS);
  EXPECT_EQ(value, -655360);
  EXPECT_EQ(bytes, 4u);

  std::vector<UCHAR> support(88, 0);
  ASSERT_EQ(Request(filter_,
                    NodeProperty(KSPROPERTY_AUDIO_VOLUMELEVEL, kVolumeNode, 0, KSPROPERTY_TYPE_BASICSUPPORT),
                    support.data(), static_cast<ULONG>(support.size()), &bytes),
            STATUS_SUCCESS);
  EXPECT_EQ(bytes, 88u);
  ULONG membersCount = 0;
  memcpy(&membersCount, support.data() + 48, sizeof membersCount);
  EXPECT_EQ(membersCount, 2u);

  LONG mute = 1;
  ASSERT_EQ(Request(filter_, NodeProperty(KSPROPERTY_AUDIO_MUTE, kMuteNode, -1, KSPROPERTY_TYPE_SET), &mute,
                    sizeof mute),
            STATUS_SUCCESS);
  EXPECT_EQ(model_->Mute(kFeatureUnit, 0), true);
}

TEST_F(WaveFilterTest, ComponentId) {
  KSCOMPONENTID id{};
  ULONG bytes = 0;
  ASSERT_EQ(Request(filter_, Property(KSPROPSETID_General, KSPROPERTY_GENERAL_COMPONENTID, KSPROPERTY_TYPE_GET), &id,
                    sizeof id, &bytes),
            STATUS_SUCCESS);
  EXPECT_EQ(bytes, 72u);
  EXPECT_EQ(id.Product.Data1, 0x67A0279Bu);
  EXPECT_EQ(id.Version, 1u);
}

TEST_F(WaveFilterTest, RenderPinFormatNegotiation) {
  struct {
    KSP_PIN pin;
    KSMULTIPLE_ITEM header;
    KSDATARANGE_AUDIO range;
  } request{};
  request.pin.Property = Property(KSPROPSETID_Pin, KSPROPERTY_PIN_DATAINTERSECTION, KSPROPERTY_TYPE_GET);
  request.pin.PinId = kRenderPin;
  request.header.Size = sizeof request.header + sizeof request.range;
  request.header.Count = 1;
  request.range.DataRange.FormatSize = sizeof request.range;
  request.range.DataRange.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
  request.range.DataRange.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
  request.range.DataRange.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
  request.range.MaximumChannels = 2;
  request.range.MinimumBitsPerSample = 16;
  request.range.MaximumBitsPerSample = 24;
  request.range.MinimumSampleFrequency = 44100;
  request.range.MaximumSampleFrequency = 192000;

  ULONG bytes = 0;
  EXPECT_EQ(Request(filter_, request, nullptr, 0, &bytes), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(bytes, 104u);
  std::vector<UCHAR> format(104, 0);
  ASSERT_EQ(Request(filter_, request, format.data(), 104, &bytes), STATUS_SUCCESS);
  EXPECT_EQ(bytes, 104u);
  WAVEFORMATEXTENSIBLE wave;
  memcpy(&wave, format.data() + sizeof(KSDATAFORMAT), sizeof wave);
  // The first alternate setting (2 channels, 16 bits) at the highest common rate.
  EXPECT_EQ(wave.Format.wFormatTag, 0xFFFE);
  EXPECT_EQ(wave.Format.nChannels, 2);
  EXPECT_EQ(wave.Format.nSamplesPerSec, 192000u);
  EXPECT_EQ(wave.Format.wBitsPerSample, 16);
  EXPECT_EQ(wave.Format.nBlockAlign, 4);
  EXPECT_EQ(wave.Format.nAvgBytesPerSec, 768000u);
}

TEST_F(WaveFilterTest, RenderPinRunsAndClosingItEndsTheStream) {
  HANDLE pin = nullptr;
  ASSERT_EQ(CreatePin(PinConnect(kRenderPin, 2, 16, 48000), &pin), STATUS_SUCCESS);
  // The stream gave the format to the adapter, which selected it on the device.
  EXPECT_NE(device_->CurrentAlternate(kRenderInterface), 0);
  HANDLE second = nullptr;
  EXPECT_FALSE(NT_SUCCESS(CreatePin(PinConnect(kRenderPin, 2, 16, 48000), &second)));

  ASSERT_EQ(SetPinState(pin, KSSTATE_ACQUIRE), STATUS_SUCCESS);
  ASSERT_EQ(SetPinState(pin, KSSTATE_PAUSE), STATUS_SUCCESS);
  EXPECT_EQ(SetPinState(pin, KSSTATE_RUN), STATUS_SUCCESS);
  EXPECT_EQ(PinState(pin), KSSTATE_RUN);
  EXPECT_NE(device_->CurrentAlternate(kRenderInterface), 0);
  // Closing steps the pin down to STOP; the streaming thread ends and
  // takes the interface back to alternate setting 0.
  Close(pin);
  EXPECT_EQ(device_->CurrentAlternate(kRenderInterface), 0);

  ASSERT_EQ(CreatePin(PinConnect(kRenderPin, 2, 16, 96000), &pin), STATUS_SUCCESS);
  Close(pin);
}

TEST_F(WaveFilterTest, BadRequestsChangeNothingInTheDriverOrTheDevice) {
  device_->ClearControlLog();
  const int alternate = device_->CurrentAlternate(kRenderInterface);
  HANDLE pin = nullptr;

  // Pin creation with formats the pin cannot take: wrong size, specifier, tag, rate.
  std::vector<UCHAR> shortFormat = PinConnect(kRenderPin, 2, 16, 48000);
  shortFormat.resize(shortFormat.size() - 4);
  EXPECT_FALSE(NT_SUCCESS(CreatePin(shortFormat, &pin)));
  std::vector<UCHAR> badSize = PinConnect(kRenderPin, 2, 16, 48000);
  reinterpret_cast<KSDATAFORMAT*>(badSize.data() + sizeof(KSPIN_CONNECT))->FormatSize += 64;
  EXPECT_FALSE(NT_SUCCESS(CreatePin(badSize, &pin)));
  std::vector<UCHAR> badSpecifier = PinConnect(kRenderPin, 2, 16, 48000);
  reinterpret_cast<KSDATAFORMAT*>(badSpecifier.data() + sizeof(KSPIN_CONNECT))->Specifier = KSDATAFORMAT_SPECIFIER_NONE;
  EXPECT_FALSE(NT_SUCCESS(CreatePin(badSpecifier, &pin)));
  EXPECT_FALSE(NT_SUCCESS(CreatePin(PinConnect(kRenderPin, 2, 16, 12345), &pin)));
  EXPECT_FALSE(NT_SUCCESS(CreatePin(PinConnect(7, 2, 16, 48000), &pin)));  // no such pin
  EXPECT_EQ(pin, nullptr);

  // Node properties: out-of-range node, unknown id, short value, wrong verb.
  LONG value = 0;
  EXPECT_FALSE(NT_SUCCESS(Request(filter_, NodeProperty(KSPROPERTY_AUDIO_VOLUMELEVEL, 99, 0, KSPROPERTY_TYPE_GET),
                                  &value, sizeof value)));
  EXPECT_FALSE(NT_SUCCESS(Request(filter_, NodeProperty(KSPROPERTY_AUDIO_BASS, kVolumeNode, 0, KSPROPERTY_TYPE_GET),
                                  &value, sizeof value)));
  SHORT small = 0;
  EXPECT_FALSE(NT_SUCCESS(Request(filter_, NodeProperty(KSPROPERTY_AUDIO_VOLUMELEVEL, kVolumeNode, 0, KSPROPERTY_TYPE_SET),
                                  &small, sizeof small)));
  EXPECT_FALSE(NT_SUCCESS(Request(filter_, NodeProperty(KSPROPERTY_AUDIO_VOLUMELEVEL, kVolumeNode, 5, KSPROPERTY_TYPE_SET),
                                  &value, sizeof value)));
  EXPECT_FALSE(NT_SUCCESS(Request(filter_, Property(KSPROPSETID_Connection, KSPROPERTY_CONNECTION_STATE, KSPROPERTY_TYPE_GET),
                                  &value, sizeof value)));  // a pin property on the filter

  // Nothing reached the device, and the render interface is where it was.
  for (const sim::ControlLogEntry& entry : device_->ControlLog()) {
    EXPECT_EQ(entry.setup.bmRequestType & 0x80, 0x80) << "a SET reached the device";
  }
  EXPECT_EQ(device_->CurrentAlternate(kRenderInterface), alternate);
  EXPECT_EQ(model_->Volume(kFeatureUnit, 1), 0);
}

}  // namespace
}  // namespace drivertest
