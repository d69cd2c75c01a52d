// Audio pins without a device: the connect buffer a pin starts with, how a
// wave format goes into it, and which formats the pin's ranges accept.
#include <gtest/gtest.h>

#include <cstring>

#include "kslib/ks_audio_filter.h"
#include "kslib/ks_audio_pin.h"
#include "kslib/ks_filter.h"
#include "kslib/ks_ids.h"
#include "tests/kslib/kslib_fixture.h"

namespace {

using namespace kslibtest;

// An audio pin of a filter that was never opened: its description requests
// fail, so it has its connect buffer but no ranges until a test adds some.
class RangePin : public CKsAudPin {
 public:
  RangePin(CKsFilter* filter, HRESULT* result) : CKsAudPin(filter, 5, result) {}
  void AddRange(const GUID& major, const GUID& sub, const GUID& specifier, ULONG channels, ULONG minBits,
                ULONG maxBits, ULONG minRate, ULONG maxRate) {
    auto* r = new KSDATARANGE_AUDIO{};
    r->DataRange.FormatSize = sizeof(KSDATARANGE_AUDIO);
    r->DataRange.MajorFormat = major;
    r->DataRange.SubFormat = sub;
    r->DataRange.Specifier = specifier;
    r->MaximumChannels = channels;
    r->MinimumBitsPerSample = minBits;
    r->MaximumBitsPerSample = maxBits;
    r->MinimumSampleFrequency = minRate;
    r->MaximumSampleFrequency = maxRate;
    ASSERT_TRUE(m_audioRanges.Append(r));
  }
};

class WaveFormatTest : public ClientTest {
 protected:
  HRESULT filterResult_ = E_FAIL;
  CKsFilter filter_{L"\\\\?\\nowhere", &filterResult_};
};

TEST_F(WaveFormatTest, NewPinHasThe154ByteConnectBufferForAStandardStreamingPcmPin) {
  HRESULT hr = S_OK;
  RangePin pin(&filter_, &hr);
  EXPECT_EQ(hr, E_FAIL);  // no interface, medium or range: the filter was never opened
  ASSERT_EQ(pin.ConnectBufferSize(), 154u);
  const KSPIN_CONNECT* c = pin.ConnectBuffer();
  EXPECT_TRUE(kslib::SameGuid(c->Interface.Set, kslib::kInterfaceSetStandard));
  EXPECT_EQ(c->Interface.Id, 0u);
  EXPECT_EQ(c->Interface.Flags, 0u);
  EXPECT_TRUE(kslib::SameGuid(c->Medium.Set, kslib::kMediumSetStandard));
  EXPECT_EQ(c->Medium.Id, 0u);
  EXPECT_EQ(c->PinId, 5u);
  EXPECT_EQ(c->PinToHandle, nullptr);
  EXPECT_EQ(c->Priority.PriorityClass, 0x40000000u);
  EXPECT_EQ(c->Priority.PrioritySubClass, 1u);
  const KSDATAFORMAT* f = reinterpret_cast<const KSDATAFORMAT*>(reinterpret_cast<const BYTE*>(c) + 72);
  EXPECT_EQ(pin.DataFormat(), f);
  EXPECT_EQ(f->FormatSize, 82u);
  EXPECT_EQ(f->SampleSize, 0u);
  EXPECT_TRUE(kslib::SameGuid(f->MajorFormat, kslib::kFormatTypeAudio));
  EXPECT_TRUE(kslib::SameGuid(f->SubFormat, kslib::kFormatSubtypePcm));
  EXPECT_TRUE(kslib::SameGuid(f->Specifier, kslib::kFormatSpecifierWaveFormatEx));
  const BYTE zero[18] = {};
  EXPECT_EQ(std::memcmp(reinterpret_cast<const BYTE*>(f) + 64, zero, 18), 0);
}

TEST_F(WaveFormatTest, ApplyWaveFormatSizesTheBufferByTheFormatAndKeepsACopy) {
  HRESULT hr = S_OK;
  RangePin pin(&filter_, &hr);
  // PCM: the 18-byte format, whatever its cbSize says.
  WAVEFORMATEX pcm = Pcm(2, 24, 48000);
  pcm.cbSize = 40;
  ASSERT_EQ(pin.ApplyWaveFormat(&pcm), S_OK);
  EXPECT_EQ(pin.ConnectBufferSize(), 154u);
  EXPECT_EQ(pin.DataFormat()->FormatSize, 82u);
  EXPECT_EQ(pin.DataFormat()->SampleSize, 6u);
  EXPECT_EQ(std::memcmp(reinterpret_cast<const BYTE*>(pin.DataFormat()) + 64, &pcm, 18), 0);
  ASSERT_NE(pin.LastWaveFormat(), nullptr);
  EXPECT_EQ(std::memcmp(pin.LastWaveFormat(), &pcm, 18), 0);

  // Extensible (cbSize 22): 176 bytes, FormatSize 104, the header carried over.
  WAVEFORMATEXTENSIBLE ext = Extensible(8, 32, 192000, kslib::kFormatSubtypePcm);
  ASSERT_EQ(pin.ApplyWaveFormat(&ext.Format), S_OK);
  ASSERT_EQ(pin.ConnectBufferSize(), 176u);
  EXPECT_EQ(pin.DataFormat()->FormatSize, 104u);
  EXPECT_EQ(pin.DataFormat()->SampleSize, 32u);
  EXPECT_EQ(pin.ConnectBuffer()->PinId, 5u);
  EXPECT_TRUE(kslib::SameGuid(pin.DataFormat()->Specifier, kslib::kFormatSpecifierWaveFormatEx));
  EXPECT_EQ(std::memcmp(reinterpret_cast<const BYTE*>(pin.DataFormat()) + 64, &ext, 40), 0);
  EXPECT_EQ(std::memcmp(pin.LastWaveFormat(), &ext, 40), 0);

  // Back to PCM: the buffer shrinks to 154 again.
  ASSERT_EQ(pin.ApplyWaveFormat(&pcm), S_OK);
  EXPECT_EQ(pin.ConnectBufferSize(), 154u);
  EXPECT_EQ(pin.DataFormat()->FormatSize, 82u);
  EXPECT_EQ(pin.ConnectBuffer()->Priority.PriorityClass, 0x40000000u);

  // SampleSize is cut to 16 bits.
  WAVEFORMATEX wide = Pcm(4096, 32, 48000);
  ASSERT_EQ(pin.ApplyWaveFormat(&wide), S_OK);
  EXPECT_EQ(pin.DataFormat()->SampleSize, (4096u * 32u / 8u) & 0xFFFFu);

  EXPECT_EQ(pin.ApplyWaveFormat(nullptr), E_FAIL);
}

TEST_F(WaveFormatTest, ApplyWaveFormatOutOfMemoryKeepsTheOldBuffer) {
  HRESULT hr = S_OK;
  RangePin pin(&filter_, &hr);
  WAVEFORMATEXTENSIBLE ext = Extensible(2, 24, 48000, kslib::kFormatSubtypePcm);
  kslib::testing::FailNthAllocation(1);
  EXPECT_EQ(pin.ApplyWaveFormat(&ext.Format), E_OUTOFMEMORY);
  EXPECT_EQ(pin.ConnectBufferSize(), 154u);
  EXPECT_EQ(pin.DataFormat()->FormatSize, 82u);
  // The kept copy of the format cannot be made either.
  kslib::testing::FailNthAllocation(2);
  EXPECT_EQ(pin.ApplyWaveFormat(&ext.Format), E_OUTOFMEMORY);
  EXPECT_EQ(pin.LastWaveFormat(), nullptr);
}

TEST_F(WaveFormatTest, ConnectBufferAllocationFailureFailsTheAudioPinWithOutOfMemory) {
  // The pin's own request blocks fail on the closed filter before any
  // allocation; the first allocation is the connect buffer.
  HRESULT hr = S_OK;
  kslib::testing::FailNthAllocation(1);
  RangePin pin(&filter_, &hr);
  EXPECT_EQ(hr, E_OUTOFMEMORY);
  EXPECT_EQ(pin.ConnectBuffer(), nullptr);
  WAVEFORMATEX pcm = Pcm(2, 16, 44100);
  EXPECT_EQ(pin.ApplyWaveFormat(&pcm), E_FAIL);
  EXPECT_EQ(pin.ConnectPin(FALSE), S_OK);  // no connect buffer: nothing to do
  EXPECT_FALSE(pin.IsOpen());
}

TEST_F(WaveFormatTest, SupportsWaveFormatMatchesChannelsBitsAndRatesOfAnyRange) {
  HRESULT hr = S_OK;
  RangePin pin(&filter_, &hr);
  WAVEFORMATEX f = Pcm(2, 24, 48000);
  EXPECT_FALSE(pin.SupportsWaveFormat(&f));  // no range at all
  pin.AddRange(kslib::kFormatTypeAudio, kslib::kFormatSubtypePcm, kslib::kFormatSpecifierWaveFormatEx, 2, 16, 32,
               44100, 192000);
  EXPECT_TRUE(pin.SupportsWaveFormat(&f));
  WAVEFORMATEX four = Pcm(4, 24, 48000);
  EXPECT_FALSE(pin.SupportsWaveFormat(&four));
  WAVEFORMATEX limits[] = {Pcm(2, 16, 44100), Pcm(2, 32, 192000), Pcm(1, 16, 44100)};
  for (const WAVEFORMATEX& ok : limits) EXPECT_TRUE(pin.SupportsWaveFormat(&ok)) << ok.nChannels << "/" << ok.wBitsPerSample << "/" << ok.nSamplesPerSec;
  WAVEFORMATEX outside[] = {Pcm(2, 8, 48000), Pcm(2, 33, 48000), Pcm(2, 24, 44099), Pcm(2, 24, 192001)};
  for (const WAVEFORMATEX& no : outside) EXPECT_FALSE(pin.SupportsWaveFormat(&no)) << no.wBitsPerSample << "/" << no.nSamplesPerSec;
  // The format tag names the sub-format: float is not PCM.
  WAVEFORMATEX flt = Pcm(2, 32, 48000);
  flt.wFormatTag = WAVE_FORMAT_IEEE_FLOAT;
  EXPECT_FALSE(pin.SupportsWaveFormat(&flt));
  // Extensible: its SubFormat counts; without the 22-byte extension it names none.
  WAVEFORMATEXTENSIBLE ext = Extensible(2, 24, 96000, kslib::kFormatSubtypePcm);
  EXPECT_TRUE(pin.SupportsWaveFormat(&ext.Format));
  ext.Format.cbSize = 0;
  EXPECT_FALSE(pin.SupportsWaveFormat(&ext.Format));
  GUID floatSub = kslib::kWaveFormatTemplate;
  floatSub.Data1 = WAVE_FORMAT_IEEE_FLOAT;
  WAVEFORMATEXTENSIBLE extFloat = Extensible(2, 32, 48000, floatSub);
  EXPECT_FALSE(pin.SupportsWaveFormat(&extFloat.Format));
  EXPECT_FALSE(pin.SupportsWaveFormat(nullptr));
}

TEST_F(WaveFormatTest, NullGuidsInARangeAreWildcards) {
  HRESULT hr = S_OK;
  RangePin pin(&filter_, &hr);
  // A range of another major format or specifier never fits.
  GUID video = kslib::kFormatTypeAudio;
  video.Data1 = 0x73646976;
  pin.AddRange(video, kslib::kNullGuid, kslib::kNullGuid, 8, 8, 32, 8000, 384000);
  GUID otherSpecifier = kslib::kFormatSpecifierWaveFormatEx;
  otherSpecifier.Data1 ^= 1;
  pin.AddRange(kslib::kFormatTypeAudio, kslib::kNullGuid, otherSpecifier, 8, 8, 32, 8000, 384000);
  WAVEFORMATEX pcm = Pcm(2, 16, 48000);
  EXPECT_FALSE(pin.SupportsWaveFormat(&pcm));
  // Null sub-format and specifier: any format tag within the limits.
  pin.AddRange(kslib::kNullGuid, kslib::kNullGuid, kslib::kNullGuid, 2, 16, 24, 44100, 96000);
  WAVEFORMATEX anyTag = Pcm(2, 16, 48000);
  anyTag.wFormatTag = 0x1234;
  EXPECT_TRUE(pin.SupportsWaveFormat(&anyTag));
  WAVEFORMATEX tooFast = Pcm(2, 16, 192000);
  tooFast.wFormatTag = 0x1234;
  EXPECT_FALSE(pin.SupportsWaveFormat(&tooFast));
}

TEST_F(WaveFormatTest, RequestsOnClosedHandlesFailWithoutAllocating) {
  HRESULT hr = S_OK;
  RangePin pin(&filter_, &hr);
  const unsigned long before = kslib::testing::AllocationCount();
  ULONG value = 0;
  KSMULTIPLE_ITEM* list = reinterpret_cast<KSMULTIPLE_ITEM*>(&value);
  EXPECT_EQ(filter_.IssueIoctl(kslib::kIoctlKsProperty, &value, 4, &value, 4, nullptr), E_FAIL);
  EXPECT_EQ(filter_.QueryValue(kslib::kPropSetPin, 1, &value, 4), E_FAIL);
  EXPECT_EQ(filter_.ApplyValue(kslib::kPropSetPin, 1, &value, 4), E_FAIL);
  EXPECT_EQ(filter_.QueryList(kslib::kPropSetPin, 3, &list), E_FAIL);
  EXPECT_EQ(list, nullptr);
  EXPECT_EQ(filter_.QueryPinValue(0, 1, &value, 4), E_FAIL);
  EXPECT_EQ(pin.ChangeState(KSSTATE_RUN), E_FAIL);
  EXPECT_EQ(pin.State(), KSSTATE_STOP);
  KSSTATE state = KSSTATE_RUN;
  EXPECT_EQ(pin.ReadState(&state), E_FAIL);
  EXPECT_EQ(pin.ReadState(nullptr), E_INVALIDARG);
  EXPECT_EQ(kslib::testing::AllocationCount(), before);
  EXPECT_EQ(filter_.LoadPins(), E_FAIL);
  EXPECT_EQ(filter_.Pins().Count(), 0u);
}

TEST_F(WaveFormatTest, FilterConstructorCutsThePathAndRefusesNone) {
  HRESULT hr = S_OK;
  CKsFilter none(nullptr, &hr);
  EXPECT_EQ(hr, E_INVALIDARG);
  std::vector<WCHAR> longPath(400, L'x');
  longPath.back() = 0;
  CKsFilter cut(longPath.data(), &hr);
  EXPECT_EQ(hr, S_OK);
  EXPECT_EQ(Text(cut.DevicePath()).size(), 259u);
  EXPECT_EQ(cut.Role(), 0u);
  EXPECT_FALSE(cut.IsOpen());
  EXPECT_EQ(cut.Handle(), INVALID_HANDLE_VALUE);
  EXPECT_EQ(cut.OpenDevice(), E_FAIL);  // no such device
  CKsAudRenFilter render(L"x", &hr);
  CKsAudCapFilter capture(L"x", &hr);
  EXPECT_EQ(render.Role(), 1u);
  EXPECT_EQ(capture.Role(), 2u);
}

}  // namespace
